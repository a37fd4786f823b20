#include "DialogueTrace.h"

#include <QTest>

class TestPop3Dialect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsTheDialogue_data()
    {
        QTest::addColumn<QList<QByteArray>>("script");
        QTest::addColumn<QByteArray>("trace");
        const QByteArray ok = "S+OK POP3";
        QTest::newRow("STLS") << QList<QByteArray>{ok, "CCAPA", "S+OK", "SSTLS", "S.", "Cstls", "S+OK go"}
                              << QByteArray("g c0L 0:+OK* 0: 0:!* c1U 1:+OK!*");
        QTest::newRow("STLS refused, pipelined") << QList<QByteArray>{ok, "CSTLS", "CUSER a", "S-ERR no", "S+OK"}
                                                 << QByteArray("g c0U c1P 0:-ERR! 1:+OK!*");
        // Listings: only these commands are followed by lines up to a dot, and only after +OK.
        QTest::newRow("listings") << QList<QByteArray>{ok, "CLIST", "S+OK", "S1 20", "S.", "CLIST 1", "S+OK 1 20",
                                                       "CRETR 1", "S-ERR no", "CTOP 1 0", "S+OK", "S..x", "S.", "CUIDL",
                                                       "S+OK", "S."}
                                  << QByteArray("g c0L 0:+OK* 0: 0:!* c1P 1:+OK!* c2L 2:-ERR! c3L 3:+OK* 3: 3:!* c4L "
                                                "4:+OK* 4:!*");
        QTest::newRow("SASL") << QList<QByteArray>{ok, "CAUTH PLAIN", "S+ ", "CAHgAeQ==", "S+OK", "CQUIT", "S+OK bye"}
                              << QByteArray("g c0PaPLAIN 0:+!? c1P 1:+OK!* c2X 2:+OK!* over");
        QTest::newRow("no status") << QList<QByteArray>{ok, "CNOOP", "Shello"} << QByteArray("g c0P misfit");
    }

    void readsTheDialogue()
    {
        QFETCH(QList<QByteArray>, script);
        QFETCH(QByteArray, trace);
        QCOMPARE(dialogueTrace(script), trace);
    }
};

QTEST_GUILESS_MAIN(TestPop3Dialect)
#include "tst_pop3dialect.moc"
