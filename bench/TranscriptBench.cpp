// Opens a saved conversation of a million rows: writes one as the window
// saves it (mail-like lines, a session mark every thousand rows, one row in
// fifty with escapes or accents, one with bytes that are not UTF-8), then
// times reading it back into rows and loading those into the panes' model,
// against reading the file's bytes alone, best of three.
//
//   dravlin_bench_transcript [ROWS]
//
// Prints "key value" lines; exit status 0 when opening stays under 2 s.

#include "Conversation.h"
#include "TranscriptLoading.h"
#include "SessionMarks.h"
#include "Transcript.h"
#include "TranscriptReader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? QByteArray(argv[1]).toInt() : 1000000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("conversation.txt"));

    QByteArray text;
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    const QByteArray line = "RCPT TO:<someone.with.a.longer.name@mail.example.org> NOTIFY=NEVER";
    const QByteArray special = "Subject: =?utf-8?q?r\xc3\xa9union?= \\ caf\xc3\xa9\x1b[0m\t\x01";
    for (int i = 0; i < rows; ++i) {
        const qint64 msecs = start + i / 4;
        const QByteArray stamp = Transcript::stamp(msecs);
        if (i % 1000 == 0)
            Transcript::appendMarkerLine(text, stamp,
                                         SessionMarks::beginText(msecs, QStringLiteral("127.0.0.1:40112"),
                                                                      QStringLiteral("127.0.0.1:2525")));
        Transcript::appendLine(text, stamp, i % 2 ? Side::Server : Side::Client,
                               i % 50 ? line : i % 100 ? special : QByteArray("binary \xff\xfe\x80 end"));
    }
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
        return 2;
    out.close();

    qint64 readNs = -1;
    qint64 parseNs = -1;
    qint64 loadNs = -1;
    size_t lines = 0;
    QElapsedTimer clock;
    for (int round = 0; round < 3; ++round) {
        clock.start();
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly) || in.readAll().size() != text.size())
            return 2;
        const qint64 r = clock.nsecsElapsed();
        readNs = readNs < 0 ? r : std::min(readNs, r);

        TranscriptReader reader;
        clock.start();
        if (!reader.readFile(path)) {
            std::printf("error %s\n", qPrintable(reader.errorString()));
            return 1;
        }
        const qint64 p = clock.nsecsElapsed();
        parseNs = parseNs < 0 ? p : std::min(parseNs, p);
        lines = reader.lines().size();

        Conversation conversation;
        clock.start();
        TranscriptLoading::load(conversation, reader);
        const qint64 l = clock.nsecsElapsed();
        loadNs = loadNs < 0 ? l : std::min(loadNs, l);
        if (conversation.rowCount() != int(lines))
            return 2;
    }

    std::printf("rows %d\n", rows);
    std::printf("lines %zu\n", lines);
    std::printf("file_mb %.1f\n", double(text.size()) / 1e6);
    std::printf("read_bytes_ms %.1f\n", double(readNs) / 1e6);
    std::printf("parse_ms %.1f\n", double(parseNs) / 1e6);
    std::printf("load_ms %.1f\n", double(loadNs) / 1e6);
    std::printf("open_ms %.1f\n", double(parseNs + loadNs) / 1e6);
    std::printf("ratio %.1f\n", double(parseNs + loadNs) / double(std::max<qint64>(readNs, 1)));
    return parseNs + loadNs < qint64{2000} * 1000 * 1000 ? 0 : 1;
}
