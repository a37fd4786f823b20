// What both fuzz targets share: a parser of the wire must give the same
// outcome however the network cut the bytes. Each target runs its input once
// uncut as the reference, then under the cuttings below; no separate model of
// the rules is kept.
#pragma once

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace fuzz {

inline void check(bool ok, const char *what)
{
    if (ok)
        return;
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Cuts byte strings into chunks at a cycle of lengths, carried on from one
// string to the next. A 0 is a chunk of nothing, never twice in a row so that
// the cutting ends; no lengths means each string whole, sharing its storage
// as a socket read would not.
class Cutter
{
public:
    explicit Cutter(QList<qsizetype> lengths) : m_lengths(std::move(lengths)) {}

    QList<QByteArray> cut(const QByteArray &bytes)
    {
        if (m_lengths.isEmpty())
            return {bytes};
        QList<QByteArray> chunks;
        qsizetype at = 0;
        do {
            qsizetype length = m_lengths[m_next++ % m_lengths.size()];
            length = std::min(m_empty ? std::max<qsizetype>(length, 1) : length, bytes.size() - at);
            m_empty = length == 0;
            chunks.append(bytes.sliced(at, length));
            at += length;
        } while (at < bytes.size());
        return chunks;
    }

private:
    QList<qsizetype> m_lengths;
    qsizetype m_next = 0;
    bool m_empty = false;
};

// The cuttings tried: lengths steered by the bytes the fuzzer mutates, lengths
// from a hash of the input (unrelated to where anything falls), and single
// bytes for short inputs (one allocation per byte halves the rate under ASan,
// and the steered lengths reach single bytes too).
inline QList<QList<qsizetype>> cuttings(const QByteArray &input)
{
    QList<qsizetype> steered;
    for (const char byte : input.first(std::min<qsizetype>(input.size(), 64))) {
        const auto value = static_cast<unsigned char>(byte);
        steered.append(value % 9 == 0 ? 0 : value % 23 + 1);
    }
    quint64 state = 1469598103934665603ULL;
    for (const char byte : input)
        state = (state ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
    QList<qsizetype> hashed;
    for (int i = 0; i < 32; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        hashed.append(static_cast<qsizetype>(state % 61));
    }
    QList<QList<qsizetype>> out{steered, hashed};
    if (input.size() <= 128)
        out.append({1});
    return out;
}

// The fuzz loop itself: run(lengths) gives a comparable outcome for one
// cutting; every cutting must agree with the uncut run, which is returned.
template <typename Run>
auto checkCuttingsAgree(const QByteArray &input, Run run)
{
    const auto whole = run(QList<qsizetype>{});
    for (const QList<qsizetype> &lengths : cuttings(input))
        check(run(lengths) == whole, "the outcome depends on how the bytes were cut");
    return whole;
}

} // namespace fuzz
