#include "Conversation.h"
#include "FigureText.h"

#include "RowStore.h"
#include "ReplyClass.h"
#include "RowText.h"
#include "SessionMarks.h"

#include <algorithm>
#include <QMutexLocker>

namespace {
constexpr quint32 ServerBit = RowPages::ServerBit;
constexpr quint32 MarkerBit = RowPages::MarkerBit;
constexpr quint32 EncryptedBit = RowPages::EncryptedBit;
constexpr int EndShift = RowPages::EndShift;
constexpr quint32 EndBits = RowPages::EndBits;
constexpr quint32 KindBits = RowPages::KindBits;
constexpr int BlockShift = RowPages::BlockShift;
// How far back a reply looks for the client's line it answers.
constexpr int ReplyLookBack = 1 << 16;

// Milliseconds up to a second, then seconds to the millisecond with a decimal
// comma: "+12 ms", "+1,250 s". Rows of one chunk are "+0 ms" apart. A clock
// set back shows as a negative gap rather than a wrong positive one.
QString gapText(qint64 msecs)
{
    const QChar sign = msecs < 0 ? QChar(0x2212) : QLatin1Char('+');
    const qint64 magnitude = msecs < 0 ? -msecs : msecs;
    if (magnitude < 1000)
        return QStringLiteral("%1%2 ms").arg(sign).arg(magnitude);
    return QStringLiteral("%1%2,%3 s").arg(sign).arg(magnitude / 1000).arg(magnitude % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

Conversation::Conversation(QObject *parent)
    : QAbstractTableModel(parent)
    , m_rows(std::make_shared<RowStore>())
{
    // Told from whichever thread appended; caught up on this one.
    m_rows->onGrown([this] { QMetaObject::invokeMethod(this, &Conversation::catchUp, Qt::QueuedConnection); });
}

Conversation::~Conversation()
{
    m_rows->onGrown({});
}

int Conversation::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return mapped() ? static_cast<int>(m_shown.size()) : m_known;
}

int Conversation::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant Conversation::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const QMutexLocker lock(&m_rows->mutex());
    const int row = index.row();
    // Both panes show the same row of the conversation, so both tell its time.
    if (role == Qt::ToolTipRole) {
        // A mark is often wider than a pane: its tooltip gives it whole.
        if (isMarker(row))
            return SessionMarks::tooltip(mark(row), markerStart(row, ShownChars));
        const QString reply = replyText(row);
        const QString tip = reply.isEmpty() ? arrivalText(row) : QStringLiteral("%1 \u00b7 %2").arg(arrivalText(row), reply);
        const QString original = difference(row);
        return original.isEmpty() ? tip : tr("%1\nDiffère de la réponse d'origine : %2").arg(tip, original);
    }
    const Side pane = index.column() == 0 ? Side::Client : Side::Server;
    const bool marker = isMarker(row);
    switch (role) {
    case Qt::DisplayRole:
        return text(row, pane);
    case ShownTextRole:
        return shownText(row, pane);
    case AlignmentRole:
        return !marker && side(row) != pane;
    case MarkerRole:
        return marker;
    case EncryptedRole:
        return !marker && side(row) == pane && isEncrypted(row);
    case ReplyRole:
        if (marker || pane != Side::Server || side(row) != Side::Server)
            return int(ReplyClass::None);
        return int(ReplyClass::classify(bytes(row)));
    case SessionRole:
        return session(row);
    case DifferenceRole:
        return difference(row);
    case MarkKindRole:
        if (!marker)
            return int(NotAMark);
        if (SessionMarks::isFailure(mark(row)))
            return int(FailureMark);
        return int(mark(row).event.kind == RelayEvent::Kind::TlsEstablished ? TlsMark : PlainMark);
    default:
        return QVariant();
    }
}

Qt::ItemFlags Conversation::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

const RowPages &Conversation::pages() const
{
    return m_rows->pages();
}

Side Conversation::side(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    return (pages().at(stored(row)).flagsAndBlock & (ServerBit | MarkerBit)) == ServerBit ? Side::Server : Side::Client;
}

bool Conversation::isMarker(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    return pages().at(stored(row)).flagsAndBlock & MarkerBit;
}

bool Conversation::isEncrypted(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    return pages().at(stored(row)).flagsAndBlock & EncryptedBit;
}

LineCapture::RowEnd Conversation::rowEnd(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    const quint32 flags = pages().at(stored(row)).flagsAndBlock;
    if (flags & MarkerBit)
        return LineCapture::RowEnd::CrLf;
    return static_cast<LineCapture::RowEnd>((flags & EndBits) >> EndShift);
}

SessionMark Conversation::mark(int row) const
{
    // A copy: the capture thread may still complete a mark (serverFound()).
    const QMutexLocker lock(&m_rows->mutex());
    return pages().mark(stored(row));
}

QByteArrayView Conversation::bytes(int row) const
{
    // Nor do a row's bytes, until the pages holding them are let go.
    const QMutexLocker lock(&m_rows->mutex());
    return pages().bytes(stored(row));
}

QString Conversation::markerText(int row) const
{
    return SessionMarks::text(mark(row));
}

QString Conversation::markerStart(int row, qsizetype chars) const
{
    const QByteArray all = SessionMarks::utf8(mark(row));
    // At most four UTF-8 bytes a character, cut where no character is.
    qsizetype cut = std::min(all.size(), 4 * chars);
    while (cut < all.size() && cut > 0 && (static_cast<unsigned char>(all[cut]) & 0xc0) == 0x80)
        --cut;
    QString text = QString::fromUtf8(all.first(cut));
    if (text.size() > chars || cut < all.size()) {
        text.truncate(chars);
        text.append(QChar(0x2026));
    }
    return text;
}

qint64 Conversation::arrivedMsecs(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    const int at = stored(row);
    return pages().chunks()[pages().chunkIndex(at)].arrivedMsecs;
}

QString Conversation::text(int row, Side pane) const
{
    if (isMarker(row))
        return QStringLiteral("\u2014 %1 \u2014").arg(SessionMarks::shown(markerText(row)));
    if (side(row) != pane)
        return AlignmentRow;
    return RowText::display(bytes(row));
}

QString Conversation::shownText(int row, Side pane) const
{
    constexpr qsizetype Wanted = ShownChars + 1;
    if (isMarker(row)) {
        // A mark read from a file may be of any length: only what a line can show.
        QString shown = QStringLiteral("\u2014 %1 \u2014").arg(markerStart(row, Wanted));
        shown.truncate(Wanted);
        return shown;
    }
    if (side(row) != pane)
        return AlignmentRow;
    const QByteArrayView all = bytes(row);
    // At most four UTF-8 bytes per character; whether the row reads as UTF-8
    // is decided on all of it, as text() decides, which is a cheap scan.
    if (all.size() <= Wanted)
        return RowText::display(all);
    if (!all.isValidUtf8())
        return QString::fromLatin1(all.first(Wanted));
    qsizetype cut = std::min(all.size(), 4 * Wanted);
    while (cut < all.size() && (static_cast<unsigned char>(all[cut]) & 0xc0) == 0x80)
        --cut; // not inside a character
    QString text = QString::fromUtf8(all.first(cut));
    text.truncate(Wanted);
    return text;
}

QString Conversation::arrivalText(int row) const
{
    const qint64 arrived = arrivedMsecs(row);
    QString time = FigureText::clockTime(arrived);
    if (row == 0)
        return time;
    return QStringLiteral("%1 (%2)").arg(time, gapText(arrived - arrivedMsecs(row - 1)));
}

QString Conversation::replyText(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    if (isMarker(row) || side(row) != Side::Server || ReplyClass::classify(bytes(row)) == ReplyClass::None)
        return QString();
    // Among the rows held, whichever are shown, chunk by chunk: those of
    // other sessions are passed over whole, and a mark of the row's own
    // session between the two means the line belongs to another client.
    const RowPages &held = pages();
    const auto &chunks = held.chunks();
    const int at = stored(row);
    size_t chunk = held.chunkIndex(at);
    const int own = chunks[chunk].session;
    const qint64 arrived = chunks[chunk].arrivedMsecs;
    for (int before = at - 1; before >= 0 && before >= at - ReplyLookBack; --before) {
        while (before < chunks[chunk].firstRow)
            --chunk;
        if (chunks[chunk].session != own) {
            before = chunks[chunk].firstRow;
            continue;
        }
        const quint32 flags = held.at(before).flagsAndBlock;
        if (flags & MarkerBit)
            break;
        if (!(flags & ServerBit))
            return tr("réponse en %1").arg(FigureText::duration(arrived - chunks[chunk].arrivedMsecs));
    }
    return QString();
}

qint64 Conversation::storedBytes() const
{
    const QMutexLocker lock(&m_rows->mutex());
    return pages().storedBytes();
}

int Conversation::clearedRows() const
{
    return m_cleared.empty() ? 0 : m_cleared.back()->rows();
}

int Conversation::appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted,
                             int session)
{
    int first = 0;
    {
        const QMutexLocker lock(&m_rows->mutex());
        first = pages().rows();
        m_rows->appendRows(side, rows, arrivedMsecs, encrypted, session);
    }
    catchUp();
    return first;
}

void Conversation::appendMark(const RelayEvent &event)
{
    if (event.kind == RelayEvent::Kind::ServerConnected)
        return m_rows->serverFound(event);
    m_rows->appendMark(SessionMark{event, {}});
    catchUp();
}

void Conversation::catchUp()
{
    const QMutexLocker lock(&m_rows->mutex());
    m_rows->caughtUp();
    const RowPages &held = pages();
    const int first = m_known;
    const int end = held.rows();
    if (end <= first)
        return;
    if (!mapped()) {
        beginInsertRows(QModelIndex(), first, end - 1);
        m_known = end;
        endInsertRows();
        return;
    }
    m_known = end;
    showHeld(held, first, end);
}

void Conversation::clear()
{
    const QMutexLocker lock(&m_rows->mutex());
    beginResetModel();
    keepForUndo(m_rows->pages());
    rebuildShown(pages());
    endResetModel();
}

void Conversation::clearBefore(int heldRow)
{
    const QMutexLocker lock(&m_rows->mutex());
    RowPages &held = m_rows->pages();
    if (heldRow >= held.rows()) {
        clear();
        return;
    }
    beginResetModel();
    // The run's rows go to pages of their own; what was before is kept for undo.
    RowPages run;
    run.appendFrom(held, heldRow, m_rows->reserve());
    held.truncate(heldRow);
    keepForUndo(held);
    held = std::move(run);
    rebuildShown(held);
    endResetModel();
}

void Conversation::keepForUndo(RowPages &held)
{
    const int count = held.rows();
    // Clearing empty panes must not lose what an earlier clear kept.
    if (count == 0)
        return;
    if (m_cleared.size() >= size_t(MaxKeptClears))
        m_cleared.erase(m_cleared.begin());
    m_cleared.push_back(std::make_unique<RowPages>(std::move(held)));
    held = RowPages();
    Q_EMIT rowsCleared(count);
}

bool Conversation::restoreCleared()
{
    if (m_cleared.empty())
        return false;
    const QMutexLocker lock(&m_rows->mutex());
    beginResetModel();
    RowPages &held = m_rows->pages();
    const RowPages since = std::move(held);
    held = std::move(*m_cleared.back());
    m_cleared.pop_back();
    // Rows captured after the clear follow the ones it took, chunk by chunk.
    held.appendFrom(since, 0, m_rows->reserve());
    rebuildShown(held);
    endResetModel();
    return true;
}

void Conversation::stage(const std::function<void(RowPages &, BlockReserve &)> &fill)
{
    if (!m_staged)
        m_staged = std::make_unique<RowPages>();
    // The reserve is the store's, which the capture thread may be drawing on.
    const QMutexLocker lock(&m_rows->mutex());
    fill(*m_staged, m_rows->reserve());
}

void Conversation::commitStaged(const std::function<qint64(qint64)> &placed)
{
    if (!m_staged)
        m_staged = std::make_unique<RowPages>();
    if (placed) {
        for (RowPages::Chunk &chunk : m_staged->chunks())
            chunk.arrivedMsecs = placed(chunk.arrivedMsecs);
        for (size_t m = 0; m < m_staged->markCount(); ++m) {
            SessionMark &mark = m_staged->markAt(m);
            mark.event.time = placed(mark.event.time);
        }
    }
    const QMutexLocker lock(&m_rows->mutex());
    beginResetModel();
    RowPages &held = m_rows->pages();
    keepForUndo(held);
    held = std::move(*m_staged);
    m_staged.reset();
    rebuildShown(held);
    endResetModel();
}

void Conversation::dropStaged()
{
    m_staged.reset();
}

int Conversation::session(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    const int at = stored(row);
    return pages().chunks()[pages().chunkIndex(at)].session;
}

void Conversation::setDifference(int heldRow, int session, const QString &original)
{
    {
        const QMutexLocker lock(&m_rows->mutex());
        RowPages &held = m_rows->pages();
        if (heldRow < 0 || heldRow >= m_known || held.chunks()[held.chunkIndex(heldRow)].session != session
            || (held.at(heldRow).flagsAndBlock & MarkerBit))
            return;
        held.differences.insert(heldRow, original);
    }
    int row = heldRow;
    if (mapped()) { // a filter maps rows too, whichever session is shown
        const auto at = std::lower_bound(m_shown.begin(), m_shown.end(), heldRow);
        if (at == m_shown.end() || *at != heldRow)
            return;
        row = int(at - m_shown.begin());
    }
    Q_EMIT dataChanged(index(row, 0), index(row, 1), {DifferenceRole, Qt::ToolTipRole});
}

QString Conversation::difference(int row) const
{
    const QMutexLocker lock(&m_rows->mutex());
    const auto &differences = pages().differences;
    return differences.isEmpty() ? QString() : differences.value(stored(row));
}

void Conversation::showSession(int session)
{
    if (session == m_shownSession)
        return;
    const QMutexLocker lock(&m_rows->mutex());
    beginResetModel();
    m_shownSession = session;
    rebuildShown(pages());
    endResetModel();
}

void Conversation::setRowFilter(RowFilter keep)
{
    if (!keep && !m_keep)
        return;
    const QMutexLocker lock(&m_rows->mutex());
    beginResetModel();
    m_keep = std::move(keep);
    rebuildShown(pages());
    endResetModel();
}

bool Conversation::kept(const RowPages &held, int storedRow) const
{
    if (!m_keep)
        return true;
    const RowPages::RowRef &r = held.at(storedRow);
    if (r.flagsAndBlock & MarkerBit)
        return m_keep(QByteArrayView(), &held.mark(storedRow));
    return m_keep(held.bytes(storedRow), nullptr);
}

void Conversation::showHeld(const RowPages &held, int first, int end)
{
    std::vector<int> rows;
    const auto &chunks = held.chunks();
    for (size_t c = held.chunkIndex(first); c < chunks.size() && chunks[c].firstRow < end; ++c) {
        if (m_shownSession != 0 && chunks[c].session != m_shownSession)
            continue;
        const int stop = std::min(end, c + 1 < chunks.size() ? chunks[c + 1].firstRow : held.rows());
        for (int row = std::max(first, chunks[c].firstRow); row < stop; ++row) {
            if (kept(held, row))
                rows.push_back(row);
        }
    }
    if (rows.empty())
        return;
    beginInsertRows(QModelIndex(), rowCount(), rowCount() + static_cast<int>(rows.size()) - 1);
    m_shown.insert(m_shown.end(), rows.begin(), rows.end());
    endInsertRows();
}

void Conversation::rebuildShown(const RowPages &held)
{
    // Whatever is held is known from a reset on.
    m_known = held.rows();
    m_rows->caughtUp();
    // Released, not emptied, when every row is shown: the table then costs nothing.
    std::vector<int>().swap(m_shown);
    if (!mapped() || held.rows() == 0)
        return;
    const auto &chunks = held.chunks();
    for (size_t c = 0; c < chunks.size(); ++c) {
        if (m_shownSession != 0 && chunks[c].session != m_shownSession)
            continue;
        const int end = c + 1 < chunks.size() ? chunks[c + 1].firstRow : held.rows();
        for (int row = chunks[c].firstRow; row < end; ++row) {
            if (kept(held, row))
                m_shown.push_back(row);
        }
    }
}
