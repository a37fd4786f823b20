// Searches a million-row conversation, both sides, case ignored: mail-like
// lines, one in fifty with accented UTF-8. For each text, the time until the
// first result and "n / total" are known (every row searched), next to a
// plain memchr scan of the same rows for one byte as the floor. Best of three.
//
//   dravlin_bench_search [ROWS]
//
// Prints "key value" lines; exit status 0 when every search stays under 200 ms.

#include "Conversation.h"
#include "ConversationSearch.h"
#include "LineCapture.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

LineCapture::Rows rowsOf(const QList<QByteArray> &lines)
{
    LineCapture::Rows rows;
    for (const QByteArray &line : lines) {
        rows.spans.append({rows.buffer.size(), line.size(), LineCapture::RowEnd::CrLf});
        rows.buffer.append(line);
    }
    return rows;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rowCount = argc > 1 ? QByteArray(argv[1]).toInt() : 1000000;

    Conversation conversation;
    const QByteArray plain = "RCPT TO:<someone.with.a.longer.name@mail.example.org> NOTIFY=NEVER ORCPT=rfc822";
    const QByteArray accented = "Subject: r\xc3\xa9union du comit\xc3\xa9 pour l'\xc3\xa9t\xc3\xa9 prochain";
    for (int i = 0; i < rowCount; i += 100) {
        QList<QByteArray> lines;
        for (int k = i; k < std::min(rowCount, i + 100); ++k)
            lines.append(k == rowCount - 1 ? QByteArray("250 2.0.0 Ok: queued as LASTROW") : k % 50 ? plain : accented);
        conversation.appendRows((i / 100) % 2 ? Side::Server : Side::Client, rowsOf(lines), 0);
    }

    QElapsedTimer clock;
    qint64 floorNs = -1;
    for (int round = 0; round < 3; ++round) {
        clock.start();
        qsizetype found = 0;
        for (int row = 0; row < conversation.rowCount(); ++row) {
            const QByteArrayView bytes = conversation.bytes(row);
            found += std::memchr(bytes.data(), '#', size_t(bytes.size())) != nullptr;
        }
        const qint64 ns = clock.nsecsElapsed();
        floorNs = floorNs < 0 ? ns : std::min(floorNs, ns);
        if (found != 0)
            return 2;
    }
    std::printf("rows %d\n", conversation.rowCount());
    std::printf("memchr_ms %.1f\n", double(floorNs) / 1e6);

    struct Case {
        const char *key;
        QString text;
    } cases[] = {
        {"last_row_only", QStringLiteral("lastrow")},
        {"every_row", QStringLiteral("NAME@")},
        {"accented", QStringLiteral("R\u00c9UNION")},
        {"absent", QStringLiteral("zzzz")},
    };
    bool met = true;
    for (const Case &c : cases) {
        qint64 best = -1;
        int count = 0;
        for (int round = 0; round < 3; ++round) {
            ConversationSearch search(&conversation);
            clock.start();
            search.setText(c.text);
            const int first = search.next(-1);
            const qint64 ns = clock.nsecsElapsed();
            best = best < 0 ? ns : std::min(best, ns);
            count = search.count();
            Q_UNUSED(first);
        }
        std::printf("%s_ms %.1f\n", c.key, double(best) / 1e6);
        std::printf("%s_matches %d\n", c.key, count);
        std::printf("%s_vs_memchr %.1f\n", c.key, double(best) / double(std::max<qint64>(floorNs, 1)));
        met = met && best < qint64{200} * 1000 * 1000;
    }
    return met ? 0 : 1;
}
