#include "DialogueEndWatch.h"

#include <QtTest>

// Whether a dialogue was over when the connection went: chunks as relayed,
// each "C" or "S" then its bytes, cut anywhere.
class TestDialogueEndWatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theAnswerToTheClosingCommandEndsTheDialogue_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<bool>("over");
        const QByteArray smtp = "S220 mx.example.org ESMTP ready\r\n";
        const QByteArray imap = "S* OK IMAP4rev1 ready\r\n";
        using L = QList<QByteArray>;
        const QByteArray pad(35, ' '); // "QUIT" and these: a kept line's 40 bytes with its CR
        QTest::newRow("smtp") << L{smtp, "CQUIT\r\n", "S221 bye\r\n"} << true;
        QTest::newRow("smtp, refused") << L{smtp, "CQUIT\r\n", "S500 no\r\n"} << false;
        QTest::newRow("pipelined, earlier answer") << L{smtp, "CRSET\r\nQUIT\r\n", "S250 ok\r\n"} << false;
        QTest::newRow("pipelined, both answers") << L{smtp, "CRSET\r\nQUIT\r\n", "S250 ok\r\n221 bye\r\n"} << true;
        QTest::newRow("client went on") << L{smtp, "CQUIT\r\n", "S221 bye\r\n", "CNOOP\r\n"} << false;
        QTest::newRow("bytes one by one") << L{"S2", "S20 x\r", "S\n", "CQ", "CUIT", "C\r", "C\n", "S221", "S bye\r\n"} << true;
        QTest::newRow("longest kept line") << L{smtp, "CQUIT" + pad + "\r\n", "S221 bye\r\n"} << true;
        QTest::newRow("longest kept line, in pieces") << L{smtp, "CQUIT" + pad, "C\r\n", "S221 bye\r\n"} << true;
        QTest::newRow("a byte longer") << L{smtp, "CQUIT " + pad + "\r\n", "S221 bye\r\n"} << false;
        QTest::newRow("a byte longer, in pieces") << L{smtp, "CQUIT ", "C" + pad + "\r\n", "S221 bye\r\n"} << false;
        QTest::newRow("a long line after the close") << L{smtp, "CQUIT\r\n", "C" + QByteArray(100, 'x') + "\r\n", "S221 bye\r\n"} << false;
        QTest::newRow("last line of a chunk begun in the one before") << L{smtp, "CNO", "COP\r\nQUI", "CT\r\n", "S221 bye\r\n"} << true;
        QTest::newRow("a long line closes a chunk") << L{smtp, "CQUIT\r\n" + QByteArray(300, 'x') + "\nQUIT\r\n" + QByteArray(60, 'y'), "C\r\n", "S221 bye\r\n"} << false;
        QTest::newRow("the answer begun before the close") << L{smtp, "S250 ok\r\n221 b", "CQUIT\r\n", "Sye\r\n"} << true;
        QTest::newRow("pop3") << L{"S+OK POP3 ready\r\n", "CQUIT\r\n", "S+OK bye\r\n"} << true;
        QTest::newRow("imap, bye") << L{imap, "Ca1 LOGOUT\r\n", "S* BYE see you\r\n"} << true;
        QTest::newRow("imap, tagged") << L{imap, "Ca1 LOGOUT\r\n", "Sa1 OK done\r\n"} << true;
        QTest::newRow("imap, another tag") << L{imap, "Ca1 LOGOUT\r\n", "Sa0 OK done\r\n"} << false;
        QTest::newRow("imap, bye unasked") << L{imap, "Ca1 NOOP\r\n", "S* BYE idle\r\n"} << false;
        QTest::newRow("imap, long greeting") << L{"S* OK " + QByteArray(60, 'g') + "\r\n", "Ca1 LOGOUT\r\n", "Sa1 OK done\r\n"} << true;
    }
    void theAnswerToTheClosingCommandEndsTheDialogue()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(bool, over);
        DialogueEndWatch watch;
        for (const QByteArray &chunk : chunks)
            watch.feed(chunk.startsWith('C') ? Side::Client : Side::Server, QByteArrayView(chunk).sliced(1));
        QCOMPARE(watch.isOver(), over);
    }
};

QTEST_GUILESS_MAIN(TestDialogueEndWatch)
#include "tst_dialogueendwatch.moc"
