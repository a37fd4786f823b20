#ifndef DRAVLIN_CONVERSATION_H
#define DRAVLIN_CONVERSATION_H

#include "LineCapture.h"
#include "RowPages.h"
#include "SessionMark.h"
#include "Side.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QHash>

#include <functional>
#include <memory>
#include <vector>

class BlockReserve;
class RowStore;

// The captured conversation as the panes see it: every row in arrival
// order, with its side and bytes. Column 0 is the client's pane and column 1
// the server's; a row shows its text in its own side's column and the
// alignment row " " in the other. Both panes are views of this one model, so
// they always have as many rows.
//
// A marker row (a session's start or end, a TLS event) belongs to neither
// side: both panes show its text, "— text —", in a look of its own. It is
// kept as the event it came from, worded when shown, searched or written.
//
// The rows themselves sit in a RowStore (see RowPages for how) that the
// capture thread appends to while this model, on the window's thread, reads
// it: the model shows the rows it has caught up with, and catches up when
// the store tells it more came, as often as the window's thread gets to it.
//
// The model may show one session's rows only (showSession()); every row
// number it takes or gives is then of the rows shown, mapped to the rows held
// by a table of one int per row shown (none while every row is shown).
//
// A clear keeps what it cleared, so that clears can be undone one after
// another, newest first; the oldest kept goes once MaxKeptClears are held.
// It clears every session's rows, whichever are shown.
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
        // True on both panes for a marker row.
        MarkerRole,
        // True on the row's own pane when its bytes came through TLS.
        EncryptedRole,
        // A ReplyClass::Kind on the server's pane for a server row.
        ReplyRole,
        // The row's session number, 0 when unnumbered (one client at a time).
        SessionRole,
        // A MarkKind on both panes.
        MarkKindRole,
        // On both panes of a replayed answer that is not the recorded one:
        // the recorded answer, worded; empty otherwise.
        DifferenceRole,
    };
    // How a mark is drawn apart.
    enum MarkKind { NotAMark, PlainMark, FailureMark, TlsMark };
    static constexpr int ShownChars = 4096;
    static constexpr int MaxKeptClears = 16;

    explicit Conversation(QObject *parent = nullptr);
    ~Conversation() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // A marker row reports Side::Client; ask isMarker() first.
    Side side(int row) const;
    bool isMarker(int row) const;
    bool isEncrypted(int row) const;
    // What followed the row's bytes in its stream; CrLf for a marker.
    LineCapture::RowEnd rowEnd(int row) const;
    // A row's bytes; none for a marker.
    QByteArrayView bytes(int row) const;
    // A marker row's mark, and its text.
    SessionMark mark(int row) const;
    QString markerText(int row) const;
    // The start of a marker's text, at most chars characters and "…" when cut.
    QString markerStart(int row, qsizetype chars) const;
    // When the row's chunk arrived, milliseconds since the epoch.
    qint64 arrivedMsecs(int row) const;
    // What a pane shows for a row: its text on its own side, " " on the other.
    QString text(int row, Side pane) const;
    // As text(), cut after ShownChars + 1 characters without decoding the rest.
    QString shownText(int row, Side pane) const;
    // When the row arrived and how long after the row before it, e.g.
    // "14:03:22.418 (+12 ms)"; the first row has its time only.
    QString arrivalText(int row) const;
    // For a server reply: how long after the client's last line of the same
    // session it came, e.g. "réponse en 12 ms"; empty otherwise.
    QString replyText(int row) const;

    // The session a shown row belongs to; 0 when unnumbered.
    int session(int row) const;
    // Which rows the model shows: those of one numbered session, or every
    // row (0). Every row number here, and so every view, search, copy, save
    // and count, is of the rows shown. Resets the model.
    void showSession(int session);
    int shownSession() const { return m_shownSession; }
    // Of those rows, the ones keep accepts (a row's bytes, or a marker's
    // mark), rows to come included; an empty keep shows them all. Resets the model.
    using RowFilter = std::function<bool(QByteArrayView bytes, const SessionMark *mark)>;
    void setRowFilter(RowFilter keep);
    bool isFiltered() const { return bool(m_keep); }

    // Rows held and caught up with, whichever are shown: a held row keeps
    // its place as sessions are shown.
    int heldRows() const { return m_known; }
    // Where the capture thread appends; shared with it.
    std::shared_ptr<RowStore> store() const { return m_rows; }
    // Marks a held row of session as a replayed answer that differs from the
    // recorded one, worded in original; kept with the row through clears and
    // undos. Nothing when that row is not of that session (rows cleared or
    // another conversation opened since).
    void setDifference(int heldRow, int session, const QString &original);
    QString difference(int row) const;

    qint64 storedBytes() const;
    // Rows the newest clear kept took away, that restoreCleared() brings back next.
    int clearedRows() const;
    // Clears restoreCleared() can still undo.
    int keptClears() const { return int(m_cleared.size()); }

public Q_SLOTS:
    // One model insertion for all the rows of a chunk; session as the relay
    // numbered it (0: unnumbered). A mark takes its event's session.
    // Returns the held row the first of them is.
    int appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted = false,
                   int session = 0);
    // A mark for an event that leaves one (SessionMarks::leavesMark()); a
    // ServerConnected completes its session's opening mark instead.
    void appendMark(const RelayEvent &event);
    // Keeps the rows until the next clear; says how many went with rowsCleared().
    void clear();
    // The same for the rows held before heldRow only: those of a run begun
    // there stay, however far the capture has gone since.
    void clearBefore(int heldRow);
    // Shows every row stored that the model has not shown yet.
    void catchUp();
    // Brings back what the newest clear kept took, before any row captured since.
    bool restoreCleared();
    // Rows read from elsewhere (a file, see TranscriptLoading) shown
    // instead of the rows held, which are kept as by clear(), a piece at a
    // time, the rows held staying in view until the end: stage() lets fill
    // append to pages of their own, commitStaged() shows them all, their
    // times first turned by placed when given, dropStaged() forgets them.
    void stage(const std::function<void(RowPages &pages, BlockReserve &reserve)> &fill);
    void commitStaged(const std::function<qint64(qint64 msecs)> &placed = {});
    void dropStaged();

Q_SIGNALS:
    // A clear took count rows (never 0); restoreCleared() can bring them back.
    void rowsCleared(int count);

private:
    // The row held that shown row row is.
    int stored(int row) const { return mapped() ? m_shown[static_cast<size_t>(row)] : row; }
    // Whether rows shown go through m_shown.
    bool mapped() const { return m_shownSession != 0 || m_keep; }
    bool kept(const RowPages &pages, int storedRow) const;
    // Shows the rows held from first to end - 1 that the session and filter keep, after those shown.
    void showHeld(const RowPages &pages, int first, int end);
    const RowPages &pages() const;
    void rebuildShown(const RowPages &pages);
    // Moves the rows held aside for undo, telling how many went.
    void keepForUndo(RowPages &pages);

    std::shared_ptr<RowStore> m_rows;
    // Rows held that the views have been told of.
    int m_known = 0;
    int m_shownSession = 0;
    // While one session is shown, the row held for each row shown.
    std::vector<int> m_shown;
    RowFilter m_keep;
    // Oldest first.
    std::vector<std::unique_ptr<RowPages>> m_cleared;
    std::unique_ptr<RowPages> m_staged;
};

#endif
