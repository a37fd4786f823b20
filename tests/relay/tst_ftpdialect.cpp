#include "DialogueTrace.h"

#include <QTest>

class TestFtpDialect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsTheDialogue_data()
    {
        QTest::addColumn<QList<QByteArray>>("script");
        QTest::addColumn<QByteArray>("trace");
        QTest::newRow("AUTH TLS") << QList<QByteArray>{"S120 soon", "S220 ready", "CUSER a", "CAUTH tls", "S331 pass",
                                                       "S234-Using", "S TLS", "S234 go"}
                                  << QByteArray("g g c0P c1U 0:331! 1:234 1: 1:234!*");
        QTest::newRow("refused, preliminary") << QList<QByteArray>{"S220 FTP", "CAUTH SSL", "S150 wait", "S530 no", "CQUIT",
                                                                   "S221 bye"}
                                              << QByteArray("g c0U 0:150 0:530! c1X 1:221!* over");
        // FTP has no STARTTLS nor DATA: they are commands like others.
        QTest::newRow("no SMTP verbs") << QList<QByteArray>{"S220 FTP", "CSTARTTLS", "CDATA", "S500 ?", "S500 ?"}
                                       << QByteArray("g c0P c1P 0:500! 1:500!");
        QTest::newRow("234 to no upgrade") << QList<QByteArray>{"S220 FTP", "CAUTH TLS X", "S234 go"}
                                           << QByteArray("g c0P 0:234!*");
    }

    void readsTheDialogue()
    {
        QFETCH(QList<QByteArray>, script);
        QFETCH(QByteArray, trace);
        QCOMPARE(dialogueTrace(script), trace);
    }
};

QTEST_GUILESS_MAIN(TestFtpDialect)
#include "tst_ftpdialect.moc"
