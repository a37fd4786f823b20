#include "UpgradeDetector.h"

#include <QTest>

using Protocol = UpgradeDetector::Protocol;
using Chunks = QList<QByteArray>; // each starts with 'C' or 'S': who sent the rest
using Both = QList<QByteArray>;   // client's bytes, server's bytes

namespace {

QByteArray hello(const QByteArray &rest = "...")
{
    return QByteArray("\x16\x03\x01\x00\xf4\x01", 6) + rest;
}

// What the detector made of each side's bytes: forwarded, dropped, TLS; and
// what that side sent. That each step accounts for its whole chunk, and the
// counts the detector keeps, the fuzz target checks.
struct Outcome {
    Both relayed{{}, {}}, dropped{{}, {}}, tls{{}, {}}, sent{{}, {}};
    Protocol protocol = Protocol::None;
};

Outcome run(const Chunks &chunks)
{
    UpgradeDetector detector;
    Outcome out;
    for (const QByteArray &sent : chunks) {
        const Side side = sent.startsWith('C') ? Side::Client : Side::Server;
        const int i = sideIndex(side);
        QByteArray chunk = sent.sliced(1); // the detector may put held bytes back in front
        out.sent[i] += chunk;
        const UpgradeDetector::Step step = detector.feed(side, chunk);
        out.relayed[i] += chunk.first(step.relay);
        out.dropped[i] += chunk.sliced(step.relay, step.drop);
        if (step.tls)
            out.tls[i] += chunk.sliced(step.relay + step.drop);
    }
    out.relayed[0] += detector.takeHeld();
    out.protocol = detector.protocol();
    return out;
}

} // namespace

class TestUpgradeDetector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void switchesAtTheAnswer_data()
    {
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<Both>("dropped"); // what neither peer may see
        QTest::addColumn<Both>("tls");     // empty for both: no switch, all relayed
        QTest::addColumn<Protocol>("protocol");

        const Both none{"", ""};
        const QByteArray ch = hello();
        QTest::newRow("SMTP") << Chunks{"S220 mx ESMTP\r\n", "CEHLO a\r\n", "S250-mx\r\n250 STARTTLS\r\n",
                                        "CStartTLS\r\n", "S220 2.0.0 Ready\r\n", "C" + ch, "S\x16\x03\x03"}
                              << none << Both{ch, "\x16\x03\x03"} << Protocol::Smtp;
        QTest::newRow("SMTP, multi-line 220") << Chunks{"CSTARTTLS\r\n", "S220-wait\r\n220 go\r\n", "C" + ch}
                                              << none << Both{ch, ""} << Protocol::Smtp;
        QTest::newRow("SMTP refused, then plain") << Chunks{"CSTARTTLS\r\n", "S454 4.7.0 not now\r\n",
                                                            "CMAIL FROM:<a>\r\n", "S250 ok\r\n"}
                                                  << none << none << Protocol::Smtp;
        QTest::newRow("client pipelines after STARTTLS")
            << Chunks{"CSTARTTLS\r\nMAIL FROM:<x>\r\n", "CRCPT TO:<y>\r\n", "S220 go\r\n", "C" + ch}
            << Both{"MAIL FROM:<x>\r\nRCPT TO:<y>\r\n", ""} << Both{ch, ""} << Protocol::Smtp;
        QTest::newRow("server sends after its 220")
            << Chunks{"CSTARTTLS\r\n", "S220 go\r\n250 injected\r\n", "S250 more\r\n", "C" + ch, "S\x16\x03\x03"}
            << Both{"", "250 injected\r\n250 more\r\n"} << Both{ch, "\x16\x03\x03"} << Protocol::Smtp;
        QTest::newRow("answer line begun before the request")
            << Chunks{"S220 greeting", "CSTARTTLS\r\n", "S, still\r\n454 no\r\n"} << none << none << Protocol::Smtp;
        QTest::newRow("LF alone ends lines") << Chunks{"Cstarttls\n", "S220 go\n", "C" + ch}
                                             << none << Both{ch, ""} << Protocol::Smtp;
        QTest::newRow("STARTTLS inside a message") << Chunks{"CDATA\r\n", "S354 go\r\n", "CSubject: x\r\n\r\nSTARTTLS\r\n",
                                                             "C.\r\n", "S250 queued\r\n"}
                                                   << none << none << Protocol::None;
        QTest::newRow("STARTTLS inside a BDAT chunk") << Chunks{"CBDAT 10 LAST\r\nSTARTTLS\r\n", "S250 ok\r\n"}
                                                      << none << none << Protocol::None;
        QTest::newRow("POP3") << Chunks{"S+OK POP3\r\n", "CSTLS\r\n", "S+OK Begin TLS\r\n", "C" + ch}
                              << none << Both{ch, ""} << Protocol::Pop3;
        QTest::newRow("POP3 refused") << Chunks{"CSTLS\r\n", "S-ERR no\r\n"} << none << none << Protocol::Pop3;
        QTest::newRow("IMAP, other answers first")
            << Chunks{"Ca1 CAPABILITY\r\na2 STARTTLS\r\n",
                      "S* CAPABILITY IMAP4rev1 STARTTLS\r\na1 OK done\r\na2 OK Begin TLS\r\n", "C" + ch}
            << none << Both{ch, ""} << Protocol::Imap;
        QTest::newRow("IMAP refused") << Chunks{"Ca2 STARTTLS\r\n", "Sa2 BAD no\r\n", "Ca3 LOGOUT\r\n"}
                                      << none << none << Protocol::Imap;
        QTest::newRow("IMAP literal holding a STARTTLS line")
            << Chunks{"Ca APPEND INBOX {12}\r\n", "Cb STARTTLS\r\n", "Sa OK\r\n"} << none << none << Protocol::None;
        QTest::newRow("FTP, multi-line 234") << Chunks{"CAUTH TLS\r\n", "S234-Using\r\n TLS\r\n234 go\r\n", "C" + ch}
                                             << none << Both{ch, ""} << Protocol::Ftp;
        QTest::newRow("FTP refused") << Chunks{"CAUTH SSL\r\n", "S530 no\r\n"} << none << none << Protocol::Ftp;
        QTest::newRow("implicit TLS") << Chunks{"C" + ch, "S\x16\x03\x03"} << none << Both{ch, "\x16\x03\x03"}
                                      << Protocol::Implicit;
        QTest::newRow("TLS record, not a ClientHello") << Chunks{"C" + QByteArray("\x16\x03\x01\x00\x05\x02", 6)}
                                                       << none << none << Protocol::None;
        QTest::newRow("ClientHello start, then the end") << Chunks{"C\x16\x03"} << none << none << Protocol::None;
    }

    // That other cuttings of the same bytes give the same outcome is the fuzz
    // target's, run on these dialogues as seeds.
    void switchesAtTheAnswer()
    {
        QFETCH(Chunks, chunks);
        QFETCH(Both, dropped);
        QFETCH(Both, tls);
        QFETCH(Protocol, protocol);
        const Outcome out = run(chunks);
        QCOMPARE(out.dropped, dropped);
        QCOMPARE(out.tls, tls);
        QCOMPARE(out.protocol, protocol);
        for (const int side : {0, 1})
            QCOMPARE(out.relayed[side] + out.dropped[side] + out.tls[side], out.sent[side]);
    }
};

QTEST_GUILESS_MAIN(TestUpgradeDetector)
#include "tst_upgradedetector.moc"
