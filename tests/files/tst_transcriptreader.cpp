#include "ConversationSearch.h"
#include "TranscriptLoading.h"
#include "ConversationTranscript.h"
#include "FigureText.h"
#include "EndpointText.h"
#include "InterleavedSessions.h"
#include "MarkTag.h"
#include "RegularFile.h"
#include "SessionMarks.h"
#include "TestTexts.h"
#include "Transcript.h"
#include "TranscriptMarks.h"
#include "TranscriptReader.h"

#include <QtTest>

#include <ctime>

#include <sys/stat.h>

namespace {

const QDate Day(2026, 12, 6);

qint64 at(QDate date, int h, int m, int s, int ms)
{
    return QDateTime(date, QTime(h, m, s, ms)).toMSecsSinceEpoch();
}

struct Entry {
    bool marker;
    Side side;
    QByteArray bytes; // a row's bytes, or a mark's UTF-8 text, its tag included
    qint64 msecs;
};

QByteArray write(const QList<Entry> &entries)
{
    QByteArray out;
    for (const Entry &e : entries) {
        if (e.marker)
            Transcript::appendMarkerLine(out, Transcript::stamp(e.msecs), QString::fromUtf8(e.bytes));
        else
            Transcript::appendLine(out, Transcript::stamp(e.msecs), e.side, e.bytes);
    }
    return out;
}

} // namespace

class TestTranscriptReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sessionMarksReadAsDesigned()
    {
        const qint64 t = at(Day, 14, 3, 22, 418);
        const QString client = QStringLiteral("127.0.0.1:40112"), server = QStringLiteral("[::1]:2525");
        QByteArray out;
        Transcript::appendMarkerLine(out, {}, SessionMarks::beginText(t, client, server));
        Transcript::appendMarkerLine(out, Transcript::stamp(t + 2584),
                                     SessionMarks::endText(t + 2584, QStringLiteral("ferm\u00e9e par le client"),
                                                                1204, 342, 2584));
        Transcript::appendMarkerLine(out, {}, QStringLiteral("TLS\nn\u00e9goci\u00e9 \\ fin"));
        QCOMPARE(out, QByteArray("-- 14:03:22.418 \xc2\xb7 client 127.0.0.1:40112 \xe2\x86\x92 [::1]:2525\n"
                                 "14:03:25.002 -- 14:03:25.002 \xc2\xb7 ferm\xc3\xa9" "e par le client \xc2\xb7 "
                                 "client \xe2\x86\x92 serveur 1\xe2\x80\xaf" "204 o \xc2\xb7 serveur \xe2\x86\x92 client 342 o "
                                 "\xc2\xb7 dur\xc3\xa9" "e 2,584 s\n"
                                 "-- TLS\\x0an\xc3\xa9goci\xc3\xa9 \\\\ fin\n"));
        const QStringList durations = {FigureText::duration(999), FigureText::duration(59999),
                                       FigureText::duration(185000), FigureText::duration(7385000)};
        QCOMPARE(durations.join(QLatin1Char('|')), QStringLiteral("999 ms|59,999 s|3 min 05 s|2 h 03 min 05 s"));
    }

    // A mark is written with a tag, from which alone its event is read back,
    // whatever language its words are in: the words, when the event would not
    // give them again (translated, a clock other than the line's), are kept
    // as read. A line written before tags is read by its French words; what
    // they do not give back exactly (a failed verification, a field holding
    // " · ", a hand-written mark) stays as read, and saved again it gains the
    // tag a save would have written. Names a peer chose come back exact and
    // never end the tag or the line.
    void marksReadBackAsTheEventsTheyStandFor_data()
    {
        QTest::addColumn<RelayEvent>("event");
        QTest::addColumn<bool>("keepsWords");
        using Kind = RelayEvent::Kind;
        const auto event = [](Kind kind, Side side, RelayEvent::End end = RelayEvent::End::None) {
            RelayEvent e;
            e.kind = kind;
            e.side = side;
            e.end = end;
            e.time = at(Day, 14, 3, 22, 418);
            e.client = EndpointText::read(QStringLiteral("[::1]:40112"));
            e.server = EndpointText::read(QStringLiteral("mx.example.org:25"));
            e.bytesClientToServer = 1204;
            e.bytesServerToClient = 1234567;
            e.durationMs = 7385000;
            e.upgrade = RelayEvent::Upgrade::Imap;
            e.dropped = 24;
            e.tls = {QStringLiteral("TLSv1.3"), QStringLiteral("TLS_AES_256_GCM_SHA384"), QStringLiteral("mx.example.org"),
                     QStringLiteral("CN=mx"), QStringLiteral("CN=R3,O=Let's Encrypt"), QStringLiteral("AB:CD"), true, 0, {}, {}};
            return e;
        };
        QTest::newRow("opened") << event(Kind::ClientConnected, Side::Client) << false;
        QTest::newRow("server silent") << event(Kind::SessionEnded, Side::Server, RelayEvent::End::SilenceAfterHalfClose) << false;
        QTest::newRow("reset by the server") << event(Kind::SessionEnded, Side::Client, RelayEvent::End::ResetByServer) << false;
        QTest::newRow("TLS facing the client") << event(Kind::TlsEstablished, Side::Client) << false;
        QTest::newRow("TLS facing the server") << event(Kind::TlsEstablished, Side::Server) << false;
        RelayEvent unverified = event(Kind::TlsEstablished, Side::Server);
        unverified.tls.peerVerified = false;
        unverified.tls.verifyResult = 18;
        unverified.tls.verifyError = QStringLiteral("self-signed certificate");
        QTest::newRow("TLS not verified") << unverified << true;
        RelayEvent odd = event(Kind::TlsEstablished, Side::Server);
        odd.tls.peerSubject = QStringLiteral("CN=a \u00b7 b");
        QTest::newRow("separator in a field") << odd << true;
        // What a client may send as the name it asks for, and a server put in its certificate.
        RelayEvent forged = event(Kind::TlsEstablished, Side::Server);
        forged.tls.serverName = QStringLiteral("a] [open client=x server=y] \u00b7 %41\n-- \\x41\u202e");
        forged.tls.peerSubject = QStringLiteral("CN=b=c d]\r\x1b[2J\u00e9");
        QTest::newRow("names a peer chose") << forged << true;
        QTest::newRow("plaintext dropped") << event(Kind::PlaintextDropped, Side::Server) << false;
    }

    void marksReadBackAsTheEventsTheyStandFor()
    {
        QFETCH(RelayEvent, event);
        QFETCH(bool, keepsWords);
        event.session = 3;
        const QString text = SessionMarks::text(event);
        const QByteArray head = Transcript::stamp(event.time) + "#3 ", later = Transcript::stamp(event.time + 1) + "#3 ";
        const QByteArray translated = "Sitzung \xc2\xb7 \xe7\xbb\x93\xe6\x9d\x9f";
        QByteArray tagged, untagged;
        TranscriptMarks::append(tagged, head, SessionMark{event, {}});
        TranscriptMarks::append(tagged, later, SessionMark{event, {}}); // another clock: kept when it has one
        TranscriptMarks::append(tagged, head, SessionMark{event, translated});
        Transcript::appendMarkerLine(untagged, head, text);
        Transcript::appendMarkerLine(untagged, later, text);
        Transcript::appendMarkerLine(untagged, later, QStringLiteral("written by hand"));
        QCOMPARE(tagged.count('\n'), 3);
        QVERIFY(tagged.startsWith(QByteArray(head + "-- " + MarkTag::write(event) + ' ')));
        TranscriptReader reader;
        QVERIFY(reader.parse(QByteArray(tagged + untagged), Day));
        QCOMPARE(reader.lines().size(), size_t(6));
        const bool clocked = text.startsWith(FigureText::clockTime(event.time));
        for (size_t i = 0; i < 5; ++i) {
            const SessionMark &mark = reader.mark(reader.lines()[i]);
            const bool byWords = i >= 3;
            QCOMPARE(mark.event.kind, event.kind);
            QCOMPARE(mark.event.time, event.time + (i % 3 == 1 ? 1 : 0));
            QCOMPARE(mark.event.session, 3);
            QCOMPARE(mark.event.end, event.end);
            QCOMPARE(mark.event.side, event.side);
            QCOMPARE(SessionMarks::text(mark), i == 2 ? QString::fromUtf8(translated) : text);
            if (byWords) {
                QCOMPARE(mark.wordsRead.isEmpty(), !keepsWords && !(i == 4 && clocked));
                continue;
            }
            // From the tag: every field, names exact.
            QCOMPARE(MarkTag::write(mark.event), MarkTag::write(event));
            if (event.kind == RelayEvent::Kind::ClientConnected)
                QCOMPARE(EndpointText::text(mark.event.client) + QLatin1Char(' ') + EndpointText::text(mark.event.server),
                         EndpointText::text(event.client) + QLatin1Char(' ') + EndpointText::text(event.server));
            else if (event.kind == RelayEvent::Kind::TlsEstablished)
                QCOMPARE(mark.event.tls.serverName, event.tls.serverName);
            QCOMPARE(mark.wordsRead.isEmpty(), i == 0 || (i == 1 && !clocked));
        }
        QCOMPARE(reader.mark(reader.lines()[5]).event.kind, RelayEvent::Kind::Stopped);
        // Saved again: the tagged lines as they were; the old ones with the
        // tag a save writes, the same as a new line's when the words gave it all.
        const QByteArray back = reader.transcript();
        const QByteArray byHand = untagged.sliced(untagged.lastIndexOf('\n', untagged.size() - 2) + 1);
        const qsizetype twoLines = tagged.indexOf('\n', tagged.indexOf('\n') + 1) + 1;
        QVERIFY(back.startsWith(tagged) && back.endsWith(byHand));
        if (!keepsWords)
            QCOMPARE(back, tagged + tagged.first(twoLines) + byHand);
        QVERIFY(reader.parse(back, Day));
        QCOMPARE(reader.transcript(), back);
    }

    // A tag is one only when whole and well formed; else the line is read by
    // its words, as a line written before tags. Keys it does not know are
    // passed over, so that later files still read.
    void tagsNotWholeAreWords_data()
    {
        QTest::addColumn<QByteArray>("mark");
        QTest::addColumn<bool>("tag");
        QTest::newRow("whole") << QByteArray("[dropped side=client bytes=3 upgrade=smtp] w") << true;
        QTest::newRow("no words") << QByteArray("[dropped side=client bytes=3 upgrade=smtp]") << true;
        QTest::newRow("unknown key") << QByteArray("[dropped side=client bytes=3 upgrade=smtp next=%C3%A9] w") << true;
        QTest::newRow("field missing") << QByteArray("[dropped side=client bytes=3] w") << false;
        QTest::newRow("field twice") << QByteArray("[dropped side=client bytes=3 bytes=4 upgrade=smtp] w") << false;
        QTest::newRow("not a number") << QByteArray("[dropped side=client bytes=+3 upgrade=smtp] w") << false;
        QTest::newRow("unknown name") << QByteArray("[dropped side=left bytes=3 upgrade=smtp] w") << false;
        QTest::newRow("bad escape") << QByteArray("[open client=%zz server=b] w") << false;
        QTest::newRow("raw character") << QByteArray("[open client=a=b server=b] w") << false;
        QTest::newRow("not UTF-8") << QByteArray("[open client=%FF server=b] w") << false;
        QTest::newRow("no key") << QByteArray("[open client=a b server=c] w") << false;
        QTest::newRow("two spaces") << QByteArray("[open client=a  server=c] w") << false;
        QTest::newRow("unknown kind") << QByteArray("[note client=a server=c] w") << false;
        QTest::newRow("words run on") << QByteArray("[open client=a server=c]w") << false;
        QTest::newRow("never closed") << QByteArray("[open client=a server=c") << false;
        QTest::newRow("verified neither") << QByteArray("[tls side=server upgrade=smtp protocol=a cipher=b verified=2] w") << false;
    }

    void tagsNotWholeAreWords()
    {
        QFETCH(QByteArray, mark);
        QFETCH(bool, tag);
        TranscriptReader reader;
        QVERIFY(reader.parse(QByteArray("12:00:00.000 -- " + mark + '\n'), Day));
        const SessionMark &read = reader.mark(reader.lines().front());
        QCOMPARE(read.event.kind, tag ? RelayEvent::Kind::PlaintextDropped : RelayEvent::Kind::Stopped);
        QCOMPARE(read.wordsRead, tag ? mark.sliced(mark.indexOf(']') + 1).trimmed() : mark);
        if (tag)
            QCOMPARE(read.event.dropped, 3);
    }

    // A saved conversation read back from its file: every row exact, UTF-8 or
    // not (E9 and C3 A9 both read "é"), the marks, the times on the file's day
    // or, before midnight, the day before (a clock set back by moments stays on
    // its day). What an editor may add, a byte order mark and CR LF line ends,
    // is taken away.
    void savedFileReadsBackAsWritten()
    {
        const qint64 t = at(Day, 23, 59, 59, 990);
        const QList<Entry> entries = {
            {true, Side::Client, "[open client=127.0.0.1:40112 server=%5B::1%5D:2525] 14:03:22.418 \xc2\xb7 client", t},
            {false, Side::Server, "220 pr\xc3\xaat \\x41 \\", t - 40},
            {false, Side::Client, "tab\there\x1b[0m\r\n\x7f\xc2\x85", t + 12},
            {false, Side::Client, "", t + 12},
            {false, Side::Server, QByteArray(64 * 1024, 'y'), t + 20}, // as long as a captured row can be
            {true, Side::Server, "[tls side=client upgrade=bridge protocol=TLSv1.2 cipher=X] TLS \xe2\x80\x94 a\nb", t + 20},
            {false, Side::Client, everyByte(), t + 30},
            {false, Side::Server, "\xe9t\xe9", t + 40},
            {false, Side::Client, "\xef\xbb\xbf\xef\xbb\xbfHELO", t + 40}, // a mark of its own, not the file's
            {false, Side::Server, "\xc3\xa9t\xc3\xa9", t + 40},
            // Direction marks and separators: escaped, so a viewer shows the line as sent.
            {false, Side::Client, "a\xe2\x80\xae" "b\xd8\x9c\xe2\x81\xa6\xe2\x80\xa8\xe2\x80\x8f", t + 41},
        };
        const QByteArray text = write(entries);
        QVERIFY(text.contains("C: a\\xe2\\x80\\xaeb\\xd8\\x9c\\xe2\\x81\\xa6\\xe2\\x80\\xa8\\xe2\\x80\\x8f\n"));
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("conversation.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("\xef\xbb\xbf" + QByteArray(text).replace("\n", "\r\n")) > 0);
        QVERIFY(file.flush() && file.setFileTime(QDateTime(Day.addDays(1), QTime(12, 0)), QFileDevice::FileModificationTime));
        file.close();
        TranscriptReader reader;
        QVERIFY2(reader.readFile(file.fileName()), qPrintable(reader.errorString()));
        QCOMPARE(reader.transcript(), text);
        QCOMPARE(qsizetype(reader.lines().size()), entries.size());
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const TranscriptReader::Line &line = reader.lines()[size_t(i)];
            QCOMPARE(line.kind == TranscriptReader::Line::Kind::Marker, entries[i].marker);
            QCOMPARE(entries[i].marker ? TranscriptMarks::text(reader.mark(line)) : reader.bytes(line).toByteArray(), entries[i].bytes);
            QCOMPARE(line.msecs, entries[i].msecs);
            if (!entries[i].marker)
                QCOMPARE(line.side, entries[i].side);
        }
    }

    // What an editor or another tool may leave, read as capture would have
    // made it: a stripped space after an empty row's "C:", lines without
    // their time (the line before's, else the file's last change), a mark
    // whose bytes are not UTF-8, a row longer than capture makes (cut at 64
    // KiB), rows between a TLS mark and the session's end (padlocks), a last
    // line cut short (left out, its number told, the lines before it exact).
    // The same whether the text comes whole or in pieces.
    void oddLinesReadAsCaptureWouldHaveMadeThem_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("padlocks");
        QTest::addColumn<int>("cutLine");

        QTest::newRow("stripped space") << QByteArray("14:03:22.418 C:\n14:03:22.419 --\nS:\r\n")
                                        << QByteArray("14:03:22.418 C: \n14:03:22.419 -- \n14:03:22.419 S: \n")
                                        << QStringLiteral("---") << 0;
        QTest::newRow("no times") << QByteArray("C: HELO\n14:00:00.000 S: 250\nS: 251\n")
                                  << QByteArray("12:00:00.000 C: HELO\n14:00:00.000 S: 250\n14:00:00.000 S: 251\n")
                                  << QStringLiteral("---") << 0;
        const QByteArray notUtf8 = "14:03:22.418 -- mark \\xff\\xfe \\\\\n"
                                   "14:03:22.418 -- [dropped side=client bytes=3 upgrade=smtp] \\xff\\xfe\n";
        QTest::newRow("mark not UTF-8") << notUtf8 << notUtf8 << QStringLiteral("--") << 0;
        QByteArray row, cut;
        for (int i = 0; i < 1200; ++i)
            row += everyByte();
        for (qsizetype at = 0; at < row.size(); at += 64 * 1024)
            Transcript::appendLine(cut, "14:03:22.418 ", Side::Client, row.sliced(at, std::min<qsizetype>(64 * 1024, row.size() - at)));
        QByteArray whole;
        Transcript::appendLine(whole, "14:03:22.418 ", Side::Client, row);
        QTest::newRow("long row") << whole << cut << QStringLiteral("-----") << 0;
        const QByteArray session = "10:00:00.000 -- 10:00:00.000 \xc2\xb7 client 127.0.0.1:1 \xe2\x86\x92 127.0.0.1:2\n"
                                   "10:00:00.001 S: 220 ok\n"
                                   "10:00:00.002 -- TLS client \xc2\xb7 TLSv1.3\n"
                                   "10:00:00.003 C: EHLO\n10:00:00.004 S: 250\n"
                                   "10:00:00.005 -- 10:00:00.005 \xc2\xb7 ferm\xc3\xa9" "e par le client\n"
                                   "10:00:00.006 C: next\n";
        // Written before tags: saved again, the marks gain the tags their words told.
        QByteArray tagged = session;
        tagged.replace("-- 10:00:00.000", "-- [open client=127.0.0.1:1 server=127.0.0.1:2] 10:00:00.000")
            .replace("-- TLS", "-- [tls side=client upgrade=none protocol=TLSv1.3 cipher=] TLS")
            .replace("-- 10:00:00.005", "-- [end how=closed-by-client side=client c2s=0 s2c=0 ms=0] 10:00:00.005");
        QTest::newRow("padlocks") << session << tagged << QStringLiteral("---pp--") << 0;
        QTest::newRow("sessions") << QByteArray("10:00:00.000 #1 -- [tls side=client upgrade=ftp protocol=a cipher=b]\n"
                                                "10:00:00.001 #2 C: a\n#12 S:\n10:00:00.002 #1 S: b\n"
                                                "#1 -- [end how=stopped side=server c2s=1 s2c=2 ms=3] fin\n#1 C: c\n")
                                  // A tag without words: the event's words are written back.
                                  << QByteArray("10:00:00.000 #1 -- [tls side=client upgrade=ftp protocol=a cipher=b] TLS client "
                                                "\xc2\xb7 a \xc2\xb7 b \xc2\xb7 AUTH TLS (FTP) \xc2\xb7 certificat de l'autorit\xc3\xa9 de Dravlin\n"
                                                "10:00:00.001 #2 C: a\n10:00:00.001 #12 S: \n10:00:00.002 #1 S: b\n"
                                                "10:00:00.002 #1 -- [end how=stopped side=server c2s=1 s2c=2 ms=3] fin\n"
                                                "10:00:00.002 #1 C: c\n")
                                  << QStringLiteral("---p--") << 0;
        const QByteArray good = "12:00:00.000 S: 220 ok\n12:00:00.001 -- mark\n";
        QTest::newRow("cut after the side") << good + "12:00:00.001 C" << good << QStringLiteral("--") << 3;
        QTest::newRow("cut in an escape") << good + "12:00:00.001 C: a\\x4" << good << QStringLiteral("--") << 3;
        QTest::newRow("cut in a character") << good + "12:00:00.001 C: \xc3" << good << QStringLiteral("--") << 3;
        QTest::newRow("long row cut") << good + whole.chopped(1) << good << QStringLiteral("--") << 3;
    }

    void oddLinesReadAsCaptureWouldHaveMadeThem()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, expected);
        QFETCH(QString, padlocks);
        QFETCH(int, cutLine);
        for (const qsizetype piece : {text.size() + 1, qsizetype{4093}}) {
            TranscriptReader reader;
            reader.begin(QDateTime(Day, QTime(12, 0)).toMSecsSinceEpoch());
            for (qsizetype at = 0; at < text.size(); at += piece)
                QVERIFY(reader.feed(text.sliced(at, std::min(piece, text.size() - at))));
            QVERIFY2(reader.finish(), qPrintable(reader.errorString()));
            QCOMPARE(reader.transcript(), expected);
            QString locks;
            for (const TranscriptReader::Line &line : reader.lines())
                locks += line.encrypted ? QLatin1Char('p') : QLatin1Char('-');
            QCOMPARE(locks, padlocks);
            QCOMPARE(reader.cutLine(), cutLine);
        }
    }

    // Sessions served at once: shown one at a time, every row number, text,
    // search, reply time and transcript is of that session's rows alone, and
    // appending only tells the views about its own. Saved with their "#K "
    // and read back, the sessions come back, TLS padlocks each its own.
    void sessionsAreShownApartAndReadBack()
    {
        const qint64 t0 = at(Day, 14, 3, 22, 0);
        const QList<SessionStep> steps = interleavedSessions();
        Conversation conversation;
        const QMap<int, QByteArray> lines = fillInterleaved(conversation, steps, t0);
        QCOMPARE(ConversationTranscript::lines(conversation, 0, conversation.rowCount()), lines[0]);
        ConversationSearch search(&conversation);
        search.setText(QStringLiteral("ehlo"));
        QCOMPARE(search.count(), 2);
        QCOMPARE(conversation.replyText(7), QStringLiteral("r\u00e9ponse en 5 ms")); // "250-one", not after "MAIL two"
        QSignalSpy inserted(&conversation, &QAbstractItemModel::rowsInserted);
        for (const int session : {2, 1}) {
            conversation.showSession(session);
            QCOMPARE(ConversationTranscript::lines(conversation, 0, conversation.rowCount()), lines[session]); // its "#K " on every row
            QCOMPARE(conversation.index(2, 0).data(Conversation::SessionRole).toInt(), session);
            QCOMPARE(search.matches(), std::vector<int>{2});
        }
        QCOMPARE(conversation.replyText(3), QStringLiteral("r\u00e9ponse en 5 ms"));
        QCOMPARE(conversation.arrivalText(1), FigureText::clockTime(t0 + 2) + QStringLiteral(" (+2 ms)"));
        const int shown = conversation.rowCount();
        LineCapture capture;
        conversation.appendRows(Side::Client, capture.feed("RSET\r\n"), t0 + 20, false, 2);
        QCOMPARE(inserted.count(), 0);
        conversation.appendRows(Side::Client, capture.feed("NOOP\r\n"), t0 + 21, false, 1);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted[0].value(1).toInt(), shown);
        QCOMPARE(conversation.text(shown, Side::Client), QStringLiteral("NOOP"));
        // A clear takes every session's rows, and its undo brings them back.
        conversation.clear();
        QCOMPARE(conversation.rowCount(), 0);
        QCOMPARE(conversation.clearedRows(), 16);
        QVERIFY(conversation.restoreCleared());
        QCOMPARE(conversation.rowCount(), shown + 1);

        conversation.showSession(0);
        TranscriptReader reader;
        QVERIFY2(reader.parse(ConversationTranscript::lines(conversation, 0, conversation.rowCount()), Day), qPrintable(reader.errorString()));
        Conversation reopened;
        TranscriptLoading::load(reopened, reader);
        QCOMPARE(ConversationTranscript::lines(reopened, 0, reopened.rowCount()), ConversationTranscript::lines(conversation, 0, conversation.rowCount()));
        reopened.showSession(1);
        QVERIFY(ConversationTranscript::lines(reopened, 0, 8) == lines[1] && reopened.isEncrypted(6) && reopened.mark(7).event.session == 1);
    }

    // A time the day guessed lacks (clocks going forward) means the file was
    // changed a day later: its lines come back a day earlier, each time as
    // written. However often the clock goes back, and whatever the file's
    // date, times stay within what a capture file can hold.
    void timesComeBackAsWrittenAndWithinWhatACaptureDates()
    {
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "Europe/Paris");
        tzset();
        const QByteArray gap = "01:59:00.000 C: a\n02:30:00.000 S: b\n03:10:00.000 C: c\n";
        TranscriptReader reader;
        QVERIFY(reader.parse(gap, QDate(2026, 3, 29))); // the last Sunday of March
        QCOMPARE(reader.transcript(), gap);
        QCOMPARE(QDateTime::fromMSecsSinceEpoch(reader.lines()[1].msecs).date(), QDate(2026, 3, 28));
        QByteArray midnights;
        for (int i = 0; i < 60000; ++i) // 30,000 days back: before 1970
            midnights += i % 2 ? "01:00:00.000 C: x\n" : "23:00:00.000 S: y\n";
        QVERIFY(reader.parse(midnights, Day));
        const qint64 first = reader.lines().front().msecs;
        QVERIFY(QDateTime::fromMSecsSinceEpoch(first).date() >= QDate(1970, 1, 2));
        QVERIFY(reader.parse(gap, QDate(2200, 1, 1)));
        QVERIFY(reader.lines().back().msecs / 1000 <= qint64{0xffffffff});
        qputenv("TZ", zone);
        tzset();
    }

    void malformedLineIsNamedAndNothingKept_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");

        const QByteArray good = "14:03:22.418 S: 220 ok\n14:03:22.430 -- mark\n";
        const QString noTime = QStringLiteral("l\u2019heure HH:MM:SS.mmm, \u00ab\u00a0C: \u00bb, \u00ab\u00a0S: \u00bb ou "
                                              "\u00ab\u00a0-- \u00bb attendu en t\u00eate de ligne");
        const QString escape = QStringLiteral("\u00ab\u00a0\\\u00a0\u00bb doit \u00eatre suivi de \u00ab\u00a0\\\u00a0\u00bb "
                                              "ou de \u00ab\u00a0xHH\u00a0\u00bb");
        QTest::newRow("hour 24") << QByteArray("24:00:00.000 C: x\n") << QStringLiteral("ligne 1\u00a0: ") + noTime;
        QTest::newRow("blank line") << good + "\n" << QStringLiteral("ligne 3\u00a0: ") + noTime;
        QTest::newRow("unknown side") << good + "14:03:22.418 X: y\n"
                                      << QStringLiteral("ligne 3\u00a0: \u00ab\u00a0C: \u00bb, \u00ab\u00a0S: \u00bb ou "
                                                        "\u00ab\u00a0-- \u00bb attendu apr\u00e8s l\u2019heure");
        QTest::newRow("no session number") << good + "14:03:22.418 #x C: y\n"
                                           << QStringLiteral("ligne 3\u00a0: \u00ab\u00a0C: \u00bb, \u00ab\u00a0S: \u00bb ou "
                                                             "\u00ab\u00a0-- \u00bb attendu apr\u00e8s l\u2019heure");
        QTest::newRow("unknown escape") << good + "14:03:22.418 C: a\\qb\n" << QStringLiteral("ligne 3\u00a0: ") + escape;
        QTest::newRow("short escape") << good + "14:03:22.418 C: a\\x4\n" << QStringLiteral("ligne 3\u00a0: ") + escape;
        QTest::newRow("Latin-1 text") << good + "14:03:22.418 C: \xe9t\xe9\n"
                                      << QStringLiteral("ligne 3\u00a0: le texte n\u2019est pas de l\u2019UTF-8");
        QTest::newRow("raw escape character") << good + "14:03:22.418 S: \x1b[0m\n"
                                              << QStringLiteral("ligne 3\u00a0: caract\u00e8re de contr\u00f4le 0x1b "
                                                                "non \u00e9chapp\u00e9");
        // Not a file to read at all: refused before a byte is read.
        QTest::newRow("no such file") << QByteArray()
                                      << QStringLiteral("\u00a0\u00bb\u00a0: fichier ou dossier introuvable (ENOENT)");
        QTest::newRow("FIFO") << QByteArray("fifo") << QStringLiteral("\u00a0: c\u2019est un tube nomm\u00e9, pas un fichier ordinaire");
        QTest::newRow("folder") << QByteArray("folder") << QStringLiteral("\u00a0: c\u2019est un dossier");
        QTest::newRow("over the limit") << QByteArray("huge")
                                        << QStringLiteral("\u00a0: 1\u202f073\u202f741\u202f825 octets, plus que les "
                                                          "1\u202f073\u202f741\u202f824 octets (1\u202f024 Mio) que Dravlin ouvre au plus");
    }

    // What was read before is gone too. The message names the line (the file,
    // when it cannot be read).
    void malformedLineIsNamedAndNothingKept()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        TranscriptReader reader;
        QVERIFY(reader.parse("12:00:00.000 C: kept from before\n", Day));
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("conversation.txt")));
        const QByteArray path = QFile::encodeName(file.fileName());
        if (text == "fifo")
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        else if (text == "folder")
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("conversation.txt")));
        else if (text == "huge") // sparse: nothing is written
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(RegularFile::DefaultLimit + 1));
        else
            QVERIFY(text.isNull() || (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush()));
        QVERIFY(!reader.readFile(file.fileName()));
        QVERIFY2(reader.errorString().contains(message), qPrintable(reader.errorString()));
        QVERIFY(reader.lines().empty());
        QVERIFY(reader.transcript().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTranscriptReader)
#include "tst_transcriptreader.moc"
