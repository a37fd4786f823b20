// libFuzzer target for LineCapture.
//
// The whole fuzz input is the byte stream of one direction, so the seed files
// are plain recorded dialogues. For a tiny row bound (reaching the cut path with
// short input) and the real one, the stream is captured in one chunk and again
// under several splits: every run must give the same rows, ended the same way,
// and each must rebuild its input exactly, so no separate model of the rule is kept.

#include "LineCapture.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// Rows are compared by length and ending only: the rebuild check pins their bytes.
struct Capture {
    QList<std::pair<qsizetype, bool>> rows; // length, ended by CR LF (else cut at the bound)
    qsizetype tailSize = 0;
    bool operator==(const Capture &other) const { return rows == other.rows && tailSize == other.tailSize; }
};

void check(bool ok, const char *what, qsizetype bound)
{
    if (ok)
        return;
    std::fprintf(stderr, "LineCapture: %s (bound %lld)\n", what, static_cast<long long>(bound));
    std::abort();
}

// Checks one feed's result and appends its rows. consumed is how much of the
// input the rows so far (with their separators) have rebuilt.
void takeRows(const LineCapture &capture, QByteArrayView input, const QByteArray &keptBefore,
              const QByteArray &chunk, const LineCapture::Rows &rows, qsizetype &consumed, Capture &out)
{
    const qsizetype bound = capture.maxRowBytes();
    // Seen as one buffer, kept bytes + chunk: rows in head keep their offsets,
    // rows in the shared chunk move by the kept bytes' length.
    const QByteArray joined = keptBefore + chunk;
    QList<LineCapture::Span> spans = rows.spans;
    if (rows.head.isEmpty()) {
        check(rows.headRows == 0 && rows.buffer == joined, "buffer is not kept bytes + chunk", bound);
    } else {
        check(rows.buffer == chunk, "head given, but buffer is not the chunk", bound);
        check(joined.startsWith(rows.head) && rows.head.endsWith("\r\n"),
              "head is not the kept bytes and the chunk up to a separator", bound);
        for (qsizetype i = rows.headRows; i < spans.size(); ++i)
            spans[i].offset += keptBefore.size();
    }
    const QByteArrayView buffer(joined);
    qsizetype at = 0;
    for (const LineCapture::Span &span : std::as_const(spans)) {
        check(span.offset == at, "rows are not contiguous", bound);
        check(span.length >= 0 && span.offset + span.length <= buffer.size(), "span outside its buffer", bound);
        const QByteArrayView row = buffer.sliced(span.offset, span.length);
        check(!row.contains("\r\n"), "row contains CR LF", bound);
        check(row.size() <= bound, "row longer than the bound", bound);
        at = span.offset + span.length;
        // A cut is never directly followed by CR LF (that line would have fit), so
        // the bytes after a span tell how it ended.
        const bool separator = buffer.sliced(at).startsWith("\r\n");
        check(separator || row.size() == bound, "row neither ended by CR LF nor cut at the bound", bound);
        at += separator ? 2 : 0;
        out.rows.append({row.size(), separator});
        const QByteArrayView rebuilt = buffer.sliced(span.offset, at - span.offset);
        check(input.sliced(consumed).startsWith(rebuilt), "rows and separators do not rebuild the input", bound);
        consumed += rebuilt.size();
    }
    const QByteArray &tail = capture.tail();
    check(buffer.sliced(at) == QByteArrayView(tail), "unrowed bytes differ from the kept tail", bound);
    check(tail.size() <= bound || (tail.size() == bound + 1 && tail.endsWith('\r')), "kept tail beyond its bound",
          bound);
}

// Feeds input cut at the given chunk lengths (the last chunk takes the rest), then flushes.
Capture captureSplit(const QByteArray &input, qsizetype bound, const QList<qsizetype> &lengths)
{
    LineCapture capture(bound);
    Capture out;
    qsizetype consumed = 0, at = 0, next = 0;
    while (at < input.size()) {
        const qsizetype length = std::min(next < lengths.size() ? lengths[next++] : input.size(), input.size() - at);
        // Whole-stream runs share the input's storage, as a socket read would not.
        const QByteArray chunk = length == input.size() ? input : input.sliced(at, length);
        const QByteArray keptBefore = capture.tail();
        takeRows(capture, input, keptBefore, chunk, capture.feed(chunk), consumed, out);
        at += length;
    }
    const QByteArray tail = capture.tail();
    check(input.sliced(consumed) == QByteArrayView(tail), "rows, separators and tail do not rebuild the input", bound);
    check(!tail.contains("\r\n"), "kept tail contains CR LF", bound);
    out.tailSize = tail.size();

    // At close the tail is shown too, cut at the bound like any other line.
    const LineCapture::Rows last = capture.flush();
    check(capture.tail().isEmpty(), "flush keeps bytes", bound);
    QByteArray shown;
    for (qsizetype i = 0; i < last.count(); ++i) {
        check(last.row(i).size() == bound || (i == last.count() - 1 && last.row(i).size() > 0),
              "flushed rows not cut at the bound", bound);
        shown += last.row(i);
    }
    check(shown == tail, "flushed rows are not the kept tail", bound);
    check(capture.flush().isEmpty(), "second flush gives a row", bound);
    return out;
}

// Chunk lengths read from the stream itself (empty chunks included), so the
// fuzzer steers the split through the bytes it mutates; bounded, as runs of
// empty chunks could otherwise go on for ever.
QList<qsizetype> drivenByContent(const QByteArray &input)
{
    QList<qsizetype> lengths;
    for (qsizetype i = 0, covered = 0; covered < input.size() && i < 2 * input.size(); ++i) {
        const auto byte = static_cast<unsigned char>(input[i % input.size()]);
        lengths.append(byte % 9 == 0 ? 0 : byte % 23 + 1);
        covered += lengths.last();
    }
    return lengths;
}

// Pseudo-random lengths seeded by a hash of the input: splits unrelated to
// where the separators fall.
QList<qsizetype> hashed(const QByteArray &input)
{
    quint64 state = 1469598103934665603ULL;
    for (const char byte : input)
        state = (state ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
    QList<qsizetype> lengths;
    for (qsizetype covered = 0; covered < input.size() && lengths.size() < 2 * input.size();) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        lengths.append(static_cast<qsizetype>(state % 97));
        covered += lengths.last();
    }
    return lengths;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    for (const qsizetype bound : {qsizetype{7}, LineCapture::MaxRowBytes}) {
        const Capture whole = captureSplit(input, bound, {});
        QList<QList<qsizetype>> splits = {drivenByContent(input), hashed(input)};
        // One byte per chunk costs allocations per byte, which under ASan halves
        // the run rate: kept to short streams, as the content-driven split also
        // reaches single bytes.
        if (input.size() <= 128)
            splits.append(QList<qsizetype>(input.size(), 1));
        for (const QList<qsizetype> &lengths : std::as_const(splits))
            check(captureSplit(input, bound, lengths) == whole, "split changes the rows", bound);
    }
    // reset() drops what is kept.
    LineCapture capture(3);
    capture.feed(input);
    capture.reset();
    check(capture.tail().isEmpty(), "reset keeps bytes", 3);
    return 0;
}
