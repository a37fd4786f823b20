// libFuzzer target for LineCapture.
//
// The whole fuzz input is the byte stream of one direction, so the seed files
// are plain recorded dialogues. For a tiny row bound (reaching the cut path
// with short input) and the real one, the rows must not depend on how the
// stream was cut, and the rows with their separators must be the stream.

#include "FuzzSplits.h"
#include "LineCapture.h"

#include <cstddef>
#include <cstdint>

namespace {

using fuzz::check;

using RowEnd = LineCapture::RowEnd;

// The rows shown while the connection lasts, then those shown at its end,
// with how each ended.
struct Capture {
    QList<QByteArray> rows, flushed;
    QList<RowEnd> ends, flushedEnds;
    bool operator==(const Capture &other) const
    {
        return rows == other.rows && flushed == other.flushed && ends == other.ends && flushedEnds == other.flushedEnds;
    }
};

void append(const LineCapture::Rows &rows, QList<QByteArray> &out, QList<RowEnd> &ends)
{
    for (qsizetype i = 0; i < rows.count(); ++i) {
        out.append(rows.row(i).toByteArray());
        ends.append(rows.end(i));
    }
}

Capture capture(const QByteArray &input, qsizetype bound, const QList<qsizetype> &lengths)
{
    LineCapture capture(bound);
    Capture out;
    fuzz::Cutter cutter(lengths);
    for (const QByteArray &chunk : cutter.cut(input)) {
        append(capture.feed(chunk), out.rows, out.ends);
        const QByteArray &tail = capture.tail();
        // One byte over the bound only for a CR that may yet begin a separator.
        check(tail.size() <= bound || (tail.size() == bound + 1 && tail.endsWith('\r')), "kept tail beyond its bound");
    }
    append(capture.flush(), out.flushed, out.flushedEnds);
    check(capture.tail().isEmpty() && capture.flush().count() == 0, "a flush keeps bytes");
    return out;
}

// Rows, each followed by CR LF when it says so, then the rows shown at the
// end, give back the input byte for byte; a row is cut only at the bound,
// and only the last row shown at the end is unended.
void checkRebuildsInput(const QByteArray &input, qsizetype bound, const Capture &shown)
{
    QByteArrayView rest(input);
    for (qsizetype i = 0; i < shown.rows.size(); ++i) {
        const QByteArray &row = shown.rows[i];
        check(row.size() <= bound && !row.contains("\r\n"), "row over the bound or holding CR LF");
        check(rest.startsWith(row), "rows do not rebuild the input");
        rest = rest.sliced(row.size());
        const bool separator = shown.ends[i] == RowEnd::CrLf;
        check(separator ? rest.startsWith("\r\n") : shown.ends[i] == RowEnd::Cut && row.size() == bound,
              "row neither ended by CR LF nor cut at the bound, as it says");
        rest = rest.sliced(separator ? 2 : 0);
    }
    check(!rest.contains("\r\n") && rest == shown.flushed.join(), "rows shown at the end are not the rest");
    for (qsizetype i = 0; i < shown.flushed.size(); ++i) {
        const qsizetype size = shown.flushed[i].size();
        const bool last = i == shown.flushed.size() - 1;
        check(size == bound || (last && size > 0), "rows shown at the end not cut at the bound");
        check(shown.flushedEnds[i] == (last ? RowEnd::Unended : RowEnd::Cut), "rows shown at the end say the wrong end");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    for (const qsizetype bound : {qsizetype{7}, LineCapture::MaxRowBytes}) {
        const auto run = [&](const QList<qsizetype> &lengths) { return capture(input, bound, lengths); };
        checkRebuildsInput(input, bound, fuzz::checkCuttingsAgree(input, run));
    }
    return 0;
}
