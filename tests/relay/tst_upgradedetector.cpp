#include "UpgradeDetector.h"

#include <QTest>

using Protocol = UpgradeDetector::Protocol;
using Phase = UpgradeDetector::Phase;
using Chunks = QList<QByteArray>; // each starts with 'C' or 'S': who sent the rest
using Both = QList<QByteArray>;   // client's bytes, server's bytes

namespace {

QByteArray hello(const QByteArray &rest = "...")
{
    return QByteArray("\x16\x03\x01\x00\xf4\x01", 6) + rest;
}

// What the detector made of each side's bytes: forwarded, dropped, TLS, or
// still held (the relay forwards those when a side ends: the fuzz target
// sees them given back); and what that side sent. That the parts keep each side's order
// and that the counts the detector keeps agree, the fuzz target checks.
struct Outcome {
    Both relayed{{}, {}}, dropped{{}, {}}, tls{{}, {}}, sent{{}, {}};
    QByteArray held;
    Protocol protocol = Protocol::None;
    Phase phase = Phase::Watching;
};

Outcome run(const Chunks &chunks)
{
    UpgradeDetector detector;
    Outcome out;
    for (const QByteArray &sent : chunks) {
        const Side side = sent.startsWith('C') ? Side::Client : Side::Server;
        out.sent[sideIndex(side)] += sent.sliced(1);
        for (const UpgradeDetector::Part &part : detector.feed(side, sent.sliced(1))) {
            Both &sorted = part.fate == UpgradeDetector::Fate::Relay ? out.relayed
                : part.fate == UpgradeDetector::Fate::Drop           ? out.dropped
                                                                     : out.tls;
            sorted[sideIndex(part.side)] += part.bytes;
        }
    }
    out.held = detector.takeHeld();
    out.protocol = detector.protocol();
    out.phase = detector.phase();
    return out;
}

} // namespace

class TestUpgradeDetector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void followsTheDialogue_data()
    {
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<Both>("dropped"); // what neither peer may see
        QTest::addColumn<Both>("tls");     // empty for both: no switch
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<Phase>("phase");

        const Both none{"", ""};
        const QByteArray ch = hello();
        const QByteArray mx = "S220 mx ESMTP\r\n";
        QTest::newRow("SMTP") << Chunks{mx, "CEHLO a\r\n", "S250-mx\r\n250 STARTTLS\r\n", "CStartTLS\r\n",
                                        "S220 2.0.0 Ready\r\n", "C" + ch, "S\x16\x03\x03"}
                              << none << Both{ch, "\x16\x03\x03"} << Protocol::Smtp << Phase::Tls;
        QTest::newRow("SMTP, multi-line greeting and 220, LF alone")
            << Chunks{"S220-mx\n220 ESMTP\n", "Cstarttls\n", "S220-wait\n220 go\n", "C" + ch} << none << Both{ch, ""}
            << Protocol::Smtp << Phase::Tls;
        QTest::newRow("refused: what was pipelined after it goes on")
            << Chunks{mx, "CSTARTTLS\r\nNOOP\r\n", "S454 4.7.0 not now\r\n250 ok\r\n", "CQUIT\r\n", "S221 bye\r\n"}
            << none << none << Protocol::Smtp << Phase::Watching;
        QTest::newRow("accepted: what was pipelined after it is dropped")
            << Chunks{mx, "CSTARTTLS\r\nMAIL FROM:<x>\r\n", "CRCPT TO:<y>\r\n", "S220 go\r\n", "C" + ch}
            << Both{"MAIL FROM:<x>\r\nRCPT TO:<y>\r\n", ""} << Both{ch, ""} << Protocol::Smtp << Phase::Tls;
        QTest::newRow("server sends after its 220")
            << Chunks{mx, "CSTARTTLS\r\n", "S220 go\r\n250 injected\r\n", "S250 more\r\n", "C" + ch, "S\x16\x03\x03"}
            << Both{"", "250 injected\r\n250 more\r\n"} << Both{ch, "\x16\x03\x03"} << Protocol::Smtp << Phase::Tls;
        QTest::newRow("greeting late: it answers no command")
            << Chunks{"CEHLO x\r\nSTARTTLS\r\n", "S220 mx", " ESMTP\r\n250 mx\r\n", "S220 go\r\n", "C" + ch}
            << none << Both{ch, ""} << Protocol::Smtp << Phase::Tls;
        QTest::newRow("message: only a line of one dot ends it")
            << Chunks{mx, "Cdata \r\n", "S354 go\r\n", "CSubject: x\r\n\r\n. \r\n.\t\r\nSTARTTLS\r\n.x\r\n", "C.\r\nQUIT\r\n",
                      "S250 queued\r\n221 bye\r\n"}
            << none << none << Protocol::None << Phase::Watching;
        QTest::newRow("DATA refused: commands go on")
            << Chunks{mx, "CDATA\r\nSTARTTLS\r\n", "S503 need RCPT\r\n", "S220 go\r\n", "C" + ch}
            << none << Both{ch, ""} << Protocol::Smtp << Phase::Tls;
        // The server parts BDAT's words at any run of blanks: its chunk is data.
        QTest::newRow("BDAT chunks holding a STARTTLS line")
            << Chunks{mx, "CBDAT\t10\r\nSTARTTLS\r\nBDAT  10 LAST\r\nSTARTTLS\r\n", "CQUIT\r\n", "S250 a\r\n250 b\r\n221 c\r\n"}
            << none << none << Protocol::None << Phase::Watching;
        QTest::newRow("502 releases what was held") << Chunks{mx, "CSTARTTLS\r\n", "CNOOP\r\n", "S502 no\r\n250 ok\r\n"}
                                                    << none << none << Protocol::Smtp << Phase::Watching;
        // A strict IMAP server answers a tag it does not take with an untagged
        // BAD, and never by that tag: what waits for it is let go.
        const QByteArray hi = "S* OK IMAP4rev1\r\n";
        QTest::newRow("tag refused: STARTTLS") << Chunks{hi, "Ca]1 STARTTLS\r\n", "Cz1 NOOP\r\n", "S* BAD tag\r\nz1 OK\r\n"}
                                               << none << none << Protocol::Imap << Phase::Abandoned;
        QTest::newRow("tag refused: a literal") << Chunks{hi, "Ca]1 LOGIN {3}\r\n", "Cz1 NOOP\r\n", "S* BAD tag\r\n"}
                                                << none << none << Protocol::None << Phase::Abandoned;
        QTest::newRow("no tag: no command, no literal")
            << Chunks{hi, "C\xc3\xa9" "1 STARTTLS\r\n(x LOGIN {3}\r\nz1 NOOP\r\n", "S* BAD\r\n* BAD\r\nz1 OK\r\n"}
            << none << none << Protocol::None << Phase::Watching;
        QTest::newRow("POP3, a listing holding +OK first")
            << Chunks{"S+OK POP3\r\n", "CCAPA\r\nLIST 1\r\n", "S+OK\r\n+OK\r\nSTLS\r\n.\r\n+OK 1 20\r\n", "CSTLS\r\n",
                      "S+OK Begin TLS\r\n", "C" + ch}
            << none << Both{ch, ""} << Protocol::Pop3 << Phase::Tls;
        QTest::newRow("IMAP, other answers first")
            << Chunks{"S* OK IMAP4rev1\r\n", "Ca1 CAPABILITY\r\na2 STARTTLS\r\n",
                      "S* CAPABILITY IMAP4rev1 STARTTLS\r\na1 OK done\r\na2 OK Begin TLS\r\n", "C" + ch}
            << none << Both{ch, ""} << Protocol::Imap << Phase::Tls;
        QTest::newRow("IMAP literal holding a STARTTLS line")
            << Chunks{"S* OK IMAP4rev1\r\n", "Ca APPEND INBOX {12}\r\n", "Cb STARTTLS\r\n", "S+ go\r\n", "C)\r\n",
                      "Sa OK\r\n"}
            << none << none << Protocol::None << Phase::Watching;
        QTest::newRow("IMAP literal refused, then STARTTLS")
            << Chunks{"S* OK IMAP4rev1\r\n", "Ca APPEND INBOX {99}\r\n", "Cb STARTTLS\r\n", "Sa NO too big\r\nb OK\r\n",
                      "C" + ch}
            << none << Both{ch, ""} << Protocol::Imap << Phase::Tls;
        QTest::newRow("FTP, preliminary and multi-line replies")
            << Chunks{"S120 soon\r\n220 FTP\r\n", "CNOOP\r\nAUTH TLS\r\n", "S150 wait\r\n200 ok\r\n234-Using\r\n TLS\r\n234 go\r\n",
                      "C" + ch}
            << none << Both{ch, ""} << Protocol::Ftp << Phase::Tls;
        QTest::newRow("implicit TLS") << Chunks{"C" + ch, "S\x16\x03\x03"} << none << Both{ch, "\x16\x03\x03"}
                                      << Protocol::Implicit << Phase::Tls;
        QTest::newRow("TLS record, not a ClientHello") << Chunks{"C" + QByteArray("\x16\x03\x01\x00\x05\x02", 6)}
                                                       << none << none << Protocol::None << Phase::Watching;
        // Where the dialogue does not fit, everything passes as sent.
        QTest::newRow("gives up: unknown protocol") << Chunks{"CSTARTTLS\r\n", "SHTTP/1.1 400 Bad\r\n", "C" + ch}
                                                    << none << none << Protocol::Smtp << Phase::Abandoned;
        QTest::newRow("gives up: answer to no command") << Chunks{mx, "S250 unasked\r\n", "CSTARTTLS\r\n", "S220 go\r\n"}
                                                        << none << none << Protocol::None << Phase::Abandoned;
        QTest::newRow("gives up: TLS before the answer") << Chunks{"S+OK\r\n", "CSTLS\r\n" + ch, "S+OK go\r\n"}
                                                         << none << none << Protocol::Pop3 << Phase::Abandoned;
        QTest::newRow("gives up: IMAP COMPRESS") << Chunks{"S* OK\r\n", "Ca COMPRESS DEFLATE\r\n", "Sa OK\r\n", "Cb STARTTLS\r\n"}
                                                 << none << none << Protocol::None << Phase::Abandoned;
    }

    // Held bytes wait for no answer for ever: given up, they go on as sent.
    void givingUpReleasesWhatIsHeld()
    {
        UpgradeDetector detector;
        detector.feed(Side::Server, "220 mx\r\n");
        QCOMPARE(detector.feed(Side::Client, "DATA\r\nNOOP\r\n").size(), 1);
        QVERIFY(detector.holding());
        const UpgradeDetector::Parts parts = detector.giveUp(FailureCause::of(FailureCause::Kind::NoDecisiveReply, 10));
        QCOMPARE(parts.size(), 1);
        QCOMPARE(parts[0].bytes, QByteArray("NOOP\r\n"));
        QCOMPARE(detector.phase(), Phase::Abandoned);
        QVERIFY(!detector.holding());
    }

    // That other cuttings of the same bytes give the same outcome is the fuzz
    // target's, run on these dialogues as seeds.
    void followsTheDialogue()
    {
        QFETCH(Chunks, chunks);
        QFETCH(Both, dropped);
        QFETCH(Both, tls);
        QFETCH(Protocol, protocol);
        QFETCH(Phase, phase);
        const Outcome out = run(chunks);
        QCOMPARE(out.dropped, dropped);
        QCOMPARE(out.tls, tls);
        QCOMPARE(out.protocol, protocol);
        QCOMPARE(out.phase, phase);
        QCOMPARE(out.held, QByteArray());
        for (const int side : {0, 1})
            QCOMPARE(out.relayed[side] + out.dropped[side] + out.tls[side], out.sent[side]);
    }
};

QTEST_GUILESS_MAIN(TestUpgradeDetector)
#include "tst_upgradedetector.moc"
