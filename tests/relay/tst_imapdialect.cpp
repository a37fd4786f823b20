#include "DialogueTrace.h"

#include <QTest>

class TestImapDialect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsTheDialogue_data()
    {
        QTest::addColumn<QList<QByteArray>>("script");
        QTest::addColumn<QByteArray>("trace");
        const QByteArray hi = "S* OK IMAP4rev1";
        // RFC 3501 tags: "]" is one of their characters, bytes past 0x7f, "+" and "(" are not.
        QTest::newRow("tags") << QList<QByteArray>{hi, "Ca]1 STARTTLS", "C\xc3\xa9" "1 STARTTLS", "C(x NOOP", "C+1 NOOP",
                                                   "Sa]1 OK"}
                              << QByteArray("g c0U - - - 0:OK!*");
        QTest::newRow("STARTTLS, other answers first")
            << QList<QByteArray>{hi, "Ca1 CAPABILITY", "Ca2 starttls", "S* CAPABILITY STARTTLS", "Sa1 OK", "Sa2 OK go"}
            << QByteArray("g c0P c1U -:CAPABILITY 0:OK!* 1:OK!*");
        QTest::newRow("untagged BAD") << QList<QByteArray>{hi, "Ca]1 STARTTLS", "S* BAD bad tag", "Sa]1 BAD"}
                                      << QByteArray("g c0U -:BADR 0:BAD!");
        QTest::newRow("synchronising literal")
            << QList<QByteArray>{hi, "Ca LOGIN {3}", "S+ go", "C", "Sa OK"} << QByteArray("g c0P 0:+?go>3 r 0:OK!*");
        QTest::newRow("literal refused, untagged or tagged")
            << QList<QByteArray>{hi, "Ca]1 LOGIN {3}", "S* BAD", "Ca]1 LOGIN {3}", "Sa]1 NO", "Cz1 NOOP"}
            << QByteArray("g c0P -:BADR c1P 1:NO! c2P");
        QTest::newRow("no literal in a line without a tag")
            << QList<QByteArray>{hi, "C(x LOGIN {3}", "Cz1 NOOP"} << QByteArray("g - c0P");
        QTest::newRow("non-synchronising literal, literal in an answer")
            << QList<QByteArray>{hi, "Ca APPEND x {12+}", "C", "Sa OK", "Cb FETCH 1 BODY[]", "S* 1 FETCH (BODY[] {5}", "S)",
                                 "Sb OK"}
            << QByteArray("g c0P>12 r 0:OK!* c1P -:1<5 -: 1:OK!*");
        QTest::newRow("AUTHENTICATE, COMPRESS, LOGOUT")
            << QList<QByteArray>{hi, "Ca AUTHENTICATE PLAIN", "S+ ", "CAGJvYgB4", "Sa OK", "Cb COMPRESS DEFLATE",
                                 "Sb NO", "Cc LOGOUT", "S* BYE"}
            << QByteArray("g c0PaPLAIN 0:+? - 0:OK!* c1Z 1:NO! c2X -:BYE over");
        QTest::newRow("answer to nothing") << QList<QByteArray>{hi, "Sa1 OK"} << QByteArray("g misfit");
    }

    void readsTheDialogue()
    {
        QFETCH(QList<QByteArray>, script);
        QFETCH(QByteArray, trace);
        QCOMPARE(dialogueTrace(script), trace);
    }
};

QTEST_GUILESS_MAIN(TestImapDialect)
#include "tst_imapdialect.moc"
