// libFuzzer target for UpgradeDetector.
//
// The input is a conversation: turns separated by a 0xFF byte, each turn one
// side's bytes, the server's when it begins with 'S', else the client's (that
// first byte is the side mark, not data). Turns keep their order, as each
// answers the one before; within a turn the network may cut the bytes any way,
// and consecutive turns of one side may arrive as one chunk. Every such
// delivery must sort each byte of each side alike: relayed, dropped or TLS.

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

// Feeds the chunks in order and sorts every byte, checking each step on the way.
Sorting sortBytes(const QList<Turn> &chunks, const QByteArray streams[2])
{
    UpgradeDetector detector;
    Sorting out;
    bool tls = false;
    for (const Turn &sent : chunks) {
        const int i = sideIndex(sent.side);
        QByteArray chunk = sent.bytes;
        const UpgradeDetector::Step step = detector.feed(sent.side, chunk);
        QByteArray &sorted = out.byte[i];
        // Held bytes come back in front of a later chunk: the chunk returned
        // always starts where the side's sorted bytes end.
        check(QByteArrayView(streams[i]).sliced(sorted.size()).startsWith(chunk), "returned chunk is not the stream's next bytes");
        check(step.relay >= 0 && step.drop >= 0 && step.relay + step.drop <= chunk.size(), "counts outside the chunk");
        check(step.tls || step.relay + step.drop == chunk.size(), "bytes left unsorted without TLS");
        check(!tls || step.tls, "TLS ended");
        tls = step.tls;
        check(tls == (detector.phase() == UpgradeDetector::Phase::Tls), "phase disagrees with the step");
        sorted += QByteArray(step.relay, 'R') + QByteArray(step.drop, 'D');
        if (step.tls)
            sorted += QByteArray(chunk.size() - step.relay - step.drop, 'T');
    }
    out.byte[0] += QByteArray(detector.takeHeld().size(), 'R');
    for (const Side side : {Side::Client, Side::Server}) {
        const QByteArray &sorted = out.byte[sideIndex(side)];
        check(sorted.size() == streams[sideIndex(side)].size(), "bytes lost or invented");
        check(detector.dropped(side) == sorted.count('D'), "dropped count differs from the bytes dropped");
    }
    out.phase = detector.phase();
    out.protocol = detector.protocol();
    return out;
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
    return 0;
}
