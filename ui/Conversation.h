#ifndef DRAVLIN_CONVERSATION_H
#define DRAVLIN_CONVERSATION_H

#include "LineCapture.h"
#include "Side.h"

#include <QAbstractTableModel>
#include <QByteArray>

#include <memory>
#include <vector>

// The captured conversation: every row in arrival order, with its side and
// bytes. Column 0 is the client's pane and column 1 the server's; a row shows
// its text in its own side's column and the alignment row " " in the other.
// Both panes are views of this one model, so they always have as many rows.
//
// Built for long captures: bytes sit in large blocks, each row costs one
// 8-byte reference, and nothing is ever reallocated wholesale.
class Conversation : public QAbstractTableModel
{
    Q_OBJECT

public:
    static inline const QString AlignmentRow = QStringLiteral(" ");

    enum Role {
        // The start of the row's text, at most ShownChars + 1 characters: what
        // one line of a pane can ever show, so that drawing a 64 KiB row costs
        // what drawing a short one does. Longer than ShownChars means cut.
        ShownTextRole = Qt::UserRole + 1,
        // True on the pane opposite the row's side.
        AlignmentRole,
    };
    static constexpr int ShownChars = 4096;

    explicit Conversation(QObject *parent = nullptr);
    ~Conversation() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    Side side(int row) const;
    QByteArrayView bytes(int row) const;
    // When the row's chunk arrived, milliseconds since the epoch.
    qint64 arrivedMsecs(int row) const;
    // What a pane shows for a row: its text on its own side, " " on the other.
    QString text(int row, Side pane) const;
    // As text(), cut after ShownChars + 1 characters without decoding the rest.
    QString shownText(int row, Side pane) const;
    // When the row arrived and how long after the row before it, e.g.
    // "14:03:22.418 (+12 ms)"; the first row has its time only.
    QString arrivalText(int row) const;
    // Rows first .. first + count - 1 as stamped transcript lines.
    QByteArray transcript(int first, int count) const;

    qint64 storedBytes() const { return m_storedBytes; }

public Q_SLOTS:
    // One model insertion for all the rows of a chunk.
    void appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs);
    void clear();

private:
    struct RowRef {
        quint32 blockAndSide; // block index << 1 | side
        quint32 offset;       // within the block
    };
    struct Chunk {
        int firstRow;
        qint64 arrivedMsecs;
    };

    const RowRef &ref(int row) const;
    void pushRef(RowRef r);
    char *reserveBytes(qsizetype length, quint32 *block, quint32 *offset);

    std::vector<std::unique_ptr<RowRef[]>> m_refPages;
    std::vector<QByteArray> m_blocks;
    std::vector<Chunk> m_chunks;
    int m_rows = 0;
    qint64 m_storedBytes = 0;
};

#endif
