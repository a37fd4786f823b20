// libFuzzer target for UpgradeDetector.
//
// The input is a conversation: turns separated by a 0xFF byte, each turn one
// side's bytes, the server's when it begins with 'S', else the client's (that
// first byte is the side mark, not data). Turns keep their order, as each
// answers the one before; within a turn the network may cut the bytes any way,
// and consecutive turns of one side may arrive as one chunk. Every such
// delivery must sort each byte of each side alike: relayed, dropped or TLS.
// Unless an upgrade is accepted, every byte is relayed, unchanged and in order.

#include "FuzzSplits.h"
#include "UpgradeDetector.h"

#include <cstddef>
#include <cstdint>

namespace {

using fuzz::check;

struct Turn {
    Side side;
    QByteArray bytes;
};

// Per side, one letter per byte: 'R' relayed, 'D' dropped, 'T' TLS.
struct Sorting {
    QByteArray byte[2];
    UpgradeDetector::Phase phase = UpgradeDetector::Phase::Watching;
    UpgradeDetector::Protocol protocol = UpgradeDetector::Protocol::None;
    bool operator==(const Sorting &o) const
    {
        return byte[0] == o.byte[0] && byte[1] == o.byte[1] && phase == o.phase && protocol == o.protocol;
    }
};

QList<Turn> parse(const QByteArray &input)
{
    QList<Turn> turns;
    for (const QByteArray &part : input.split('\xff')) {
        if (!part.isEmpty())
            turns.append({part.startsWith('S') ? Side::Server : Side::Client, part.sliced(1)});
    }
    return turns;
}

// Feeds the chunks in order and sorts every byte, checking each part on the way.
Sorting sortBytes(const QList<Turn> &chunks, const QByteArray streams[2])
{
    UpgradeDetector detector;
    Sorting out;
    const auto sort = [&](Side side, char fate, const QByteArray &bytes) {
        QByteArray &sorted = out.byte[sideIndex(side)];
        // Each part is the side's next bytes, unchanged.
        check(QByteArrayView(streams[sideIndex(side)]).sliced(sorted.size()).startsWith(bytes), "part is not the stream's next bytes");
        sorted += QByteArray(bytes.size(), fate);
    };
    for (const Turn &sent : chunks) {
        const bool tlsBefore = detector.phase() == UpgradeDetector::Phase::Tls;
        const bool abandonedBefore = detector.phase() == UpgradeDetector::Phase::Abandoned;
        for (const UpgradeDetector::Part &part : detector.feed(sent.side, sent.bytes)) {
            check(!part.bytes.isEmpty(), "empty part");
            check(!abandonedBefore || part.fate == UpgradeDetector::Fate::Relay, "bytes withheld after giving up");
            sort(part.side, "RDT"[int(part.fate)], part.bytes);
        }
        check(!tlsBefore || detector.phase() == UpgradeDetector::Phase::Tls, "TLS ended");
        check(!abandonedBefore || !detector.abandonCause().isNone(), "given up without a reason");
    }
    sort(Side::Client, 'R', detector.takeHeld());
    const bool tls = detector.phase() == UpgradeDetector::Phase::Tls;
    for (const Side side : {Side::Client, Side::Server}) {
        const QByteArray &sorted = out.byte[sideIndex(side)];
        check(sorted.size() == streams[sideIndex(side)].size(), "bytes lost or invented");
        check(detector.dropped(side) == sorted.count('D'), "dropped count differs from the bytes dropped");
        // No upgrade accepted: every byte forwarded, as sent.
        check(tls || sorted.count('R') == sorted.size(), "bytes withheld though nothing switched to TLS");
    }
    out.phase = detector.phase();
    out.protocol = detector.protocol();
    return out;
}

// Without a ClientHello's first byte from the client, nor anything a server
// accepts an upgrade with, nothing can switch to TLS.
bool cannotSwitch(const QByteArray streams[2])
{
    const QByteArray server = streams[sideIndex(Side::Server)].toUpper();
    return !streams[sideIndex(Side::Client)].contains('\x16') && !server.contains("220") && !server.contains("234")
        && !server.contains("OK");
}

// Consecutive turns of one side as one chunk.
QList<Turn> merged(const QList<Turn> &turns)
{
    QList<Turn> chunks;
    for (const Turn &turn : turns) {
        if (!chunks.isEmpty() && chunks.last().side == turn.side)
            chunks.last().bytes += turn.bytes;
        else
            chunks.append(turn);
    }
    return chunks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QList<Turn> turns = parse(input);
    QByteArray streams[2];
    for (const Turn &turn : turns)
        streams[sideIndex(turn.side)] += turn.bytes;

    const auto run = [&](const QList<qsizetype> &lengths) {
        fuzz::Cutter cutter(lengths);
        QList<Turn> chunks;
        for (const Turn &turn : turns) {
            for (const QByteArray &chunk : cutter.cut(turn.bytes))
                chunks.append({turn.side, chunk});
        }
        return sortBytes(chunks, streams);
    };
    const Sorting whole = fuzz::checkCuttingsAgree(input, run);
    check(sortBytes(merged(turns), streams) == whole, "one chunk per run of turns sorts differently");
    check(!cannotSwitch(streams) || whole.phase != UpgradeDetector::Phase::Tls, "TLS without any accepted upgrade");
    return 0;
}
