// libFuzzer target for LineCapture.
//
// The whole fuzz input is the byte stream of one direction, so the seed files
// are plain recorded dialogues. For several row bounds (tiny ones reach the
// cut path with short input) the stream is captured in one chunk and then
// again under several splits; every run must give the same rows, ended the
// same way, and each run must also rebuild its input exactly.

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

// Rows are compared by length and ending only: every run is also checked to
// rebuild its input, which pins down their bytes.
struct Row {
    qsizetype length;
    bool endedBySeparator;

    bool operator==(const Row &other) const
    {
        return length == other.length && endedBySeparator == other.endedBySeparator;
    }
};

struct Capture {
    QList<Row> rows;
    qsizetype tailSize = 0;
};

[[noreturn]] void fail(const char *what, qsizetype bound)
{
    std::fprintf(stderr, "LineCapture: %s (bound %lld)\n", what, static_cast<long long>(bound));
    std::abort();
}

void check(bool ok, const char *what, qsizetype bound)
{
    if (!ok)
        fail(what, bound);
}

// Checks one feed's result and appends its rows, each told apart as ended by
// CR LF or cut at the bound. consumed is how much of the input the rows so far
// (with their separators) have rebuilt.
void takeRows(const LineCapture &capture, QByteArrayView input, QByteArrayView keptBefore,
              QByteArrayView chunk, const LineCapture::Rows &rows, qsizetype &consumed,
              Capture &out)
{
    const qsizetype bound = capture.maxRowBytes();
    // Seen as one buffer, kept bytes + chunk: rows in head keep their offsets,
    // rows in the shared chunk move by the kept bytes' length.
    QByteArray joined;
    QList<LineCapture::Span> spans = rows.spans;
    if (rows.head.isEmpty()) {
        joined = rows.buffer;
        check(rows.headRows == 0, "head rows without a head", bound);
    } else {
        joined = keptBefore.toByteArray() + chunk.toByteArray();
        check(QByteArrayView(rows.buffer) == chunk, "head given, but buffer is not the chunk", bound);
        check(QByteArrayView(joined).startsWith(rows.head) && rows.head.endsWith("\r\n"),
              "head is not the kept bytes and the chunk up to a separator", bound);
        for (qsizetype i = rows.headRows; i < spans.size(); ++i)
            spans[i].offset += keptBefore.size();
    }
    const QByteArrayView buffer(joined);
    check(buffer.size() == keptBefore.size() + chunk.size() && buffer.startsWith(keptBefore)
              && buffer.endsWith(chunk),
          "buffer is not kept bytes + chunk", bound);

    qsizetype at = 0;
    for (const LineCapture::Span &span : spans) {
        check(span.offset == at, "rows are not contiguous", bound);
        check(span.length >= 0 && span.offset + span.length <= buffer.size(),
              "span outside its buffer", bound);
        const QByteArrayView row = buffer.sliced(span.offset, span.length);
        check(!row.contains("\r\n"), "row contains CR LF", bound);
        check(row.size() <= bound, "row longer than the bound", bound);
        at = span.offset + span.length;
        // A cut is never directly followed by CR LF (that line would have fit), so
        // the bytes after a span tell how it ended.
        const bool separator = buffer.sliced(at).startsWith("\r\n");
        if (separator)
            at += 2;
        else
            check(row.size() == bound, "row neither ended by CR LF nor cut at the bound", bound);
        out.rows.append({row.size(), separator});

        const QByteArrayView ahead = input.sliced(consumed);
        check(ahead.startsWith(row), "rows do not rebuild the input", bound);
        consumed += row.size();
        if (separator) {
            check(ahead.sliced(row.size()).startsWith("\r\n"),
                  "separators do not rebuild the input", bound);
            consumed += 2;
        }
    }
    const QByteArray &tail = capture.tail();
    check(buffer.sliced(at) == QByteArrayView(tail), "unrowed bytes differ from the kept tail",
          bound);
    check(tail.size() <= bound || (tail.size() == bound + 1 && tail.endsWith('\r')),
          "kept tail beyond its bound", bound);
}

void finish(LineCapture &capture, QByteArrayView input, qsizetype consumed, Capture &out)
{
    const qsizetype bound = capture.maxRowBytes();
    const QByteArray tail = capture.tail();
    check(input.sliced(consumed) == QByteArrayView(tail),
          "rows, separators and kept tail do not rebuild the input", bound);
    check(!tail.contains("\r\n"), "kept tail contains CR LF", bound);
    out.tailSize = tail.size();

    const LineCapture::Rows last = capture.flush();
    check(capture.tail().isEmpty(), "flush keeps bytes", bound);
    // At close the tail is shown too, cut at the bound like any other line.
    QByteArray shown;
    for (qsizetype i = 0; i < last.count(); ++i) {
        check(last.row(i).size() == bound || (i == last.count() - 1 && last.row(i).size() > 0),
              "flushed rows not cut at the bound", bound);
        shown += last.row(i);
    }
    check(shown == tail, "flushed rows are not the kept tail", bound);
    check(capture.flush().isEmpty(), "second flush gives a row", bound);
}

// Feeds input cut at the given chunk lengths (the last chunk takes the rest).
Capture captureSplit(const QByteArray &input, qsizetype bound, const QList<qsizetype> &lengths)
{
    LineCapture capture(bound);
    Capture out;
    qsizetype consumed = 0;
    qsizetype at = 0;
    qsizetype next = 0;
    while (at < input.size()) {
        qsizetype length = next < lengths.size() ? lengths[next++] : input.size() - at;
        length = std::min(length, input.size() - at);
        // Whole-stream runs share the input's storage, as a socket read would not.
        const QByteArray chunk = length == input.size() ? input : input.sliced(at, length);
        const QByteArray keptBefore = capture.tail();
        const LineCapture::Rows rows = capture.feed(chunk);
        takeRows(capture, input, keptBefore, chunk, rows, consumed, out);
        at += length;
    }
    finish(capture, input, consumed, out);
    return out;
}

// An independent, byte-at-a-time statement of the cutting rule.
Capture model(QByteArrayView input, qsizetype bound)
{
    Capture out;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < input.size(); ++i) {
        const bool heldCr = i > lineStart && input[i - 1] == '\r';
        if (input[i] == '\n' && heldCr) {
            out.rows.append({i - 1 - lineStart, true});
            lineStart = i + 1;
            continue;
        }
        // The line is now [lineStart, i]; a trailing CR is not counted, and a
        // byte after a held CR can release two rows at once.
        const auto pending = [&] {
            return i + 1 - lineStart - (input[i] == '\r' ? 1 : 0);
        };
        while (pending() > bound) {
            out.rows.append({bound, false});
            lineStart += bound;
        }
    }
    out.tailSize = input.size() - lineStart;
    return out;
}

void compare(const Capture &whole, const Capture &other, qsizetype bound, const char *what)
{
    if (other.rows.size() != whole.rows.size() || other.tailSize != whole.tailSize) {
        std::fprintf(stderr, "%s: %lld rows vs %lld in one chunk\n", what,
                     static_cast<long long>(other.rows.size()),
                     static_cast<long long>(whole.rows.size()));
        fail("split changes the rows", bound);
    }
    for (qsizetype i = 0; i < whole.rows.size(); ++i) {
        if (!(other.rows[i] == whole.rows[i])) {
            std::fprintf(stderr, "%s: row %lld differs\n", what, static_cast<long long>(i));
            fail("split changes the rows", bound);
        }
    }
}

QList<qsizetype> everyByte(qsizetype size)
{
    return QList<qsizetype>(size, 1);
}

// Chunk lengths read from the stream itself, so the fuzzer steers the split
// through the same bytes it mutates.
QList<qsizetype> drivenByContent(const QByteArray &input)
{
    QList<qsizetype> lengths;
    qsizetype covered = 0;
    // Bounded, as runs of empty chunks could otherwise go on for ever.
    for (qsizetype i = 0; covered < input.size() && i < 2 * input.size(); ++i) {
        const auto byte = static_cast<unsigned char>(input[i % input.size()]);
        const qsizetype length = byte % 9 == 0 ? 0 : byte % 23 + 1; // empty chunks included
        lengths.append(length);
        covered += length;
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
    qsizetype covered = 0;
    while (covered < input.size() && lengths.size() < 2 * input.size()) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const qsizetype length = static_cast<qsizetype>(state % 97);
        lengths.append(length);
        covered += length;
    }
    return lengths;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype bounds[] = {1, 2, 7, 64, LineCapture::MaxRowBytes};

    for (const qsizetype bound : bounds) {
        const Capture whole = captureSplit(input, bound, {});
        compare(whole, model(input, bound), bound, "byte-at-a-time model");

        QList<QList<qsizetype>> splits = {drivenByContent(input), hashed(input)};
        // One byte per chunk costs allocations per byte, which under ASan halves
        // the run rate: kept to short streams, as the content-driven split also
        // reaches single bytes.
        if (input.size() <= 128)
            splits.append(everyByte(input.size()));
        for (const QList<qsizetype> &lengths : std::as_const(splits)) {
            compare(whole, captureSplit(input, bound, lengths), bound, "split run");
        }
    }

    // reset() drops what is kept, and the capture starts clean after it.
    LineCapture capture(3);
    capture.feed(input);
    capture.reset();
    check(capture.tail().isEmpty(), "reset keeps bytes", 3);
    return 0;
}
