#ifndef DRAVLIN_LINECAPTURE_H
#define DRAVLIN_LINECAPTURE_H

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMetaType>

// Cuts one direction of a byte stream into CR LF terminated rows.
//
// Whatever follows the last separator is kept and joined to the next chunk, so
// the rows do not depend on how the network split the stream. A line longer
// than MaxRowBytes is cut into rows of that size so that a peer that never
// sends CR LF cannot grow the kept tail without limit.
class LineCapture
{
public:
    static constexpr qsizetype MaxRowBytes = qsizetype{64} * 1024;

    // What followed a row in the stream: its CR LF, nothing because the line
    // went on past MaxRowBytes, or nothing because the stream ended there or
    // switched to TLS. Only the first gives the row's bytes back with CR LF.
    enum class RowEnd : quint8 { CrLf, Cut, Unended };

    // Rows point into one shared buffer, which avoids a copy per row on the hot path.
    struct Span {
        qsizetype offset;
        qsizetype length;
        RowEnd end;
    };
    // The first headRows spans point into head (the line a kept tail began,
    // completed by the chunk), the others into buffer.
    struct Rows {
        QByteArray buffer;
        QList<Span> spans;
        QByteArray head;
        qsizetype headRows = 0;

        qsizetype count() const { return spans.size(); }
        bool isEmpty() const { return spans.isEmpty(); }
        QByteArrayView row(qsizetype i) const
        {
            return QByteArrayView(i < headRows ? head : buffer).sliced(spans[i].offset, spans[i].length);
        }
        RowEnd end(qsizetype i) const { return spans[i].end; }
    };

    // A smaller bound exists for tests that want to reach the cut path with short input.
    explicit LineCapture(qsizetype maxRowBytes = MaxRowBytes);

    Rows feed(const QByteArray &chunk);
    // The connection ended: what is kept becomes a row (none when empty).
    Rows flush();
    void reset();

    const QByteArray &tail() const { return m_tail; }
    qsizetype maxRowBytes() const { return m_maxRowBytes; }

private:
    // Just past the first separator that ends the kept tail's line, or -1.
    qsizetype firstLineEnd(const QByteArray &chunk) const;

    QByteArray m_tail;
    qsizetype m_maxRowBytes;
};

Q_DECLARE_METATYPE(LineCapture::Rows)

#endif
