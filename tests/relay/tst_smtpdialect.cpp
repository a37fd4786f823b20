#include "DialogueTrace.h"
#include "SmtpDialect.h"

#include <QTest>

class TestSmtpDialect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsTheDialogue_data()
    {
        QTest::addColumn<QList<QByteArray>>("script");
        QTest::addColumn<QByteArray>("trace");
        const QByteArray mx = "S220 mx ESMTP";
        QTest::newRow("EHLO, STARTTLS")
            << QList<QByteArray>{mx, "CEHLO a", "S250-mx", "S250 STARTTLS", "CStartTLS ", "S220 go"}
            << QByteArray("g c0P 0:250 0:250!* c1U 1:220!*");
        for (const char *refusal : {"454 not now", "500 what", "501 syntax", "502 no"})
            QTest::newRow(refusal) << QList<QByteArray>{mx, "CSTARTTLS", "S" + QByteArray(refusal)}
                                   << "g c0U 0:" + QByteArray(refusal).first(3) + "!";
        QTest::newRow("pipelined, multi-line greeting")
            << QList<QByteArray>{"S220-mx", "S220 ESMTP", "CMAIL FROM:<a>", "CRCPT TO:<b>", "S250 ok", "S550 no"}
            << QByteArray("g g c0P c1P 0:250!* 1:550!");
        QTest::newRow("DATA: the message up to its dot")
            << QList<QByteArray>{mx, "CDATA", "S354 go", "CSTARTTLS", "C..", "C.", "S250 queued", "CQUIT", "S221 bye"}
            << QByteArray("g c0D 0:354!* b b e1 1:250!* c2X 2:221!* over");
        QTest::newRow("DATA refused") << QList<QByteArray>{mx, "CDATA", "S503 RCPT first", "CSTARTTLS"}
                                      << QByteArray("g c0D 0:503! c1U");
        // The server parts BDAT's words at any run of blanks.
        QTest::newRow("BDAT") << QList<QByteArray>{mx, "CBDAT\t10 LAST", "CBDAT  7", "CBDAT 3 \tlast ", "CBDAT 5 MORE",
                                                   "CBDAT x", "CBDAT 1234567890123456"}
                              << QByteArray("g c0P>10 c1P>7 c2P>3 c3P c4P c5P");
        QTest::newRow("AUTH") << QList<QByteArray>{mx, "CAUTH LOGIN", "S334 VXNlcm5hbWU6", "CYm9i", "S235 ok"}
                              << QByteArray("g c0PaLOGIN 0:334!?VXNlcm5hbWU6 c1P 1:235!*");
        QTest::newRow("answer to nothing") << QList<QByteArray>{mx, "S250 unasked"} << QByteArray("g misfit");
        QTest::newRow("multi-line cut by another")
            << QList<QByteArray>{mx, "CNOOP", "S250-a", "S251 b"} << QByteArray("g c0P 0:250 misfit");
        QTest::newRow("uncoded") << QList<QByteArray>{mx, "CNOOP", "Shello"} << QByteArray("g c0P misfit");
    }

    void readsTheDialogue()
    {
        QFETCH(QList<QByteArray>, script);
        QFETCH(QByteArray, trace);
        QCOMPARE(dialogueTrace(script), trace);
    }
};

QTEST_GUILESS_MAIN(TestSmtpDialect)
#include "tst_smtpdialect.moc"
