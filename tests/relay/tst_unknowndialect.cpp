#include "DialogueTrace.h"

#include <QTest>

class TestUnknownDialect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsTheDialogue_data()
    {
        QTest::addColumn<QList<QByteArray>>("script");
        QTest::addColumn<QByteArray>("trace");
        // Before the greeting a line reads as any protocol would; the greeting
        // tells whose, and what was sent is read again as that server reads it.
        QTest::newRow("SMTP greeting late") << QList<QByteArray>{"CEHLO x", "CSTARTTLS", "S220 mx", "S250 mx", "S220 go"}
                                            << QByteArray("c0P c1U g 0:250!* 1:220!*");
        QTest::newRow("STLS read again by SMTP") << QList<QByteArray>{"CSTLS", "S220 mx", "S500 ?"}
                                                 << QByteArray("c0U g 0:500!");
        QTest::newRow("IMAP after an untagged line") << QList<QByteArray>{"CNOOP", "S* OK IMAP"} << QByteArray("c0P misfit");
        QTest::newRow("literal before the greeting")
            << QList<QByteArray>{"Ca LOGIN {3+}", "S* OK IMAP"} << QByteArray("c0P g>3");
        QTest::newRow("not a protocol") << QList<QByteArray>{"CGET / HTTP/1.1", "SHTTP/1.1 400"} << QByteArray("c0P misfit");
    }

    void readsTheDialogue()
    {
        QFETCH(QList<QByteArray>, script);
        QFETCH(QByteArray, trace);
        QCOMPARE(dialogueTrace(script), trace);
    }
};

QTEST_GUILESS_MAIN(TestUnknownDialect)
#include "tst_unknowndialect.moc"
