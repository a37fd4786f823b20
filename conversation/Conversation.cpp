#include "Conversation.h"

#include "ConversationTranscript.h"
#include "MemoryHints.h"
#include "ReplyClass.h"
#include "RowText.h"
#include "SessionMarks.h"
#include "Transcript.h"
#include "TranscriptReader.h"

#include <algorithm>
#include <cstring>

namespace {
// Whole large pages (see MemoryHints), each made ready ahead by a BlockReserve.
constexpr qsizetype BlockBytes = 4 * MemoryHints::LargePage;
constexpr quint32 ServerBit = 1;
constexpr quint32 MarkerBit = 2;
constexpr quint32 EncryptedBit = 4;
constexpr int EndShift = 3;
constexpr quint32 EndBits = 3U << EndShift;
// What tells rows of one chunk apart from the rows of another.
constexpr quint32 KindBits = ServerBit | MarkerBit | EncryptedBit;
constexpr int BlockShift = 5;
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
    , m_reserve(BlockBytes)
{
}

Conversation::~Conversation() = default;

int Conversation::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return mapped() ? static_cast<int>(m_shown.size()) : m_store.rows;
}

int Conversation::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant Conversation::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
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

const Conversation::RowRef &Conversation::ref(int row) const
{
    return m_store.at(stored(row));
}

size_t Conversation::chunkIndex(int storedRow) const
{
    const auto &chunks = m_store.chunks;
    const auto after = std::upper_bound(chunks.begin(), chunks.end(), storedRow,
                                        [](int r, const Chunk &c) { return r < c.firstRow; });
    return static_cast<size_t>(after - chunks.begin()) - 1;
}

Side Conversation::side(int row) const
{
    return (ref(row).flagsAndBlock & (ServerBit | MarkerBit)) == ServerBit ? Side::Server : Side::Client;
}

bool Conversation::isMarker(int row) const
{
    return ref(row).flagsAndBlock & MarkerBit;
}

bool Conversation::isEncrypted(int row) const
{
    return ref(row).flagsAndBlock & EncryptedBit;
}

LineCapture::RowEnd Conversation::rowEnd(int row) const
{
    if (isMarker(row))
        return LineCapture::RowEnd::CrLf;
    return static_cast<LineCapture::RowEnd>((ref(row).flagsAndBlock & EndBits) >> EndShift);
}

const SessionMark &Conversation::mark(int row) const
{
    return m_store.marks[ref(row).flagsAndBlock >> BlockShift];
}

QByteArrayView Conversation::bytesIn(const Store &store, int row)
{
    const RowRef &r = store.at(row);
    if (r.flagsAndBlock & MarkerBit)
        return QByteArrayView();
    const quint32 block = r.flagsAndBlock >> BlockShift;
    qsizetype end = store.blocks[block].size();
    if (row + 1 < store.rows) {
        // A mark holds no bytes; it points where the bytes after it go, which
        // is where this row's end, in the block rows were going into.
        const RowRef &next = store.at(row + 1);
        if ((next.flagsAndBlock & MarkerBit) || (next.flagsAndBlock >> BlockShift) == block)
            end = next.offset;
    }
    return QByteArrayView(store.blocks[block]).sliced(r.offset, end - r.offset);
}

QByteArrayView Conversation::bytes(int row) const
{
    return bytesIn(m_store, stored(row));
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
    return m_store.chunks[chunkIndex(stored(row))].arrivedMsecs;
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
    QString time = Transcript::clockTime(arrived);
    if (row == 0)
        return time;
    return QStringLiteral("%1 (%2)").arg(time, gapText(arrived - arrivedMsecs(row - 1)));
}

QString Conversation::replyText(int row) const
{
    if (isMarker(row) || side(row) != Side::Server || ReplyClass::classify(bytes(row)) == ReplyClass::None)
        return QString();
    // Among the rows held, whichever are shown, chunk by chunk: those of
    // other sessions are passed over whole, and a mark of the row's own
    // session between the two means the line belongs to another client.
    const auto &chunks = m_store.chunks;
    const int at = stored(row);
    size_t chunk = chunkIndex(at);
    const int own = chunks[chunk].session;
    const qint64 arrived = chunks[chunk].arrivedMsecs;
    for (int before = at - 1; before >= 0 && before >= at - ReplyLookBack; --before) {
        while (before < chunks[chunk].firstRow)
            --chunk;
        if (chunks[chunk].session != own) {
            before = chunks[chunk].firstRow;
            continue;
        }
        const quint32 flags = m_store.at(before).flagsAndBlock;
        if (flags & MarkerBit)
            break;
        if (!(flags & ServerBit))
            return tr("réponse en %1").arg(Transcript::durationText(arrived - chunks[chunk].arrivedMsecs));
    }
    return QString();
}

QByteArray Conversation::transcript(int first, int count) const
{
    return ConversationTranscript::lines(*this, first, count);
}

qint64 Conversation::storedBytes() const
{
    return m_store.storedBytes;
}

int Conversation::clearedRows() const
{
    return m_cleared.empty() ? 0 : m_cleared.back()->rows;
}

void Conversation::appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted,
                              int session)
{
    const int count = static_cast<int>(rows.count());
    if (count == 0)
        return;
    // Rows of a session not shown are held without a word to the views;
    // filtered, they are told once held, as the filter reads them.
    const bool shown = m_shownSession == 0 || session == m_shownSession;
    const bool direct = shown && !mapped();
    const int first = m_store.rows;
    if (direct)
        beginInsertRows(QModelIndex(), rowCount(), rowCount() + count - 1);
    openChunk(arrivedMsecs, session);
    const quint32 flags = (side == Side::Server ? ServerBit : 0U) | (encrypted ? EncryptedBit : 0U);
    for (int i = 0; i < count;) {
        // The first row opens a block if need be; the rows after it that also
        // fit are sized in with one resize rather than one each.
        quint32 block = 0;
        quint32 offset = 0;
        reserveBytes(rows.spans[i].length, &block, &offset);
        QByteArray &target = m_store.blocks[block];
        const qsizetype room = m_store.blockEnd - target.size();
        qsizetype more = 0;
        int end = i + 1;
        while (end < count && more + rows.spans[end].length <= room)
            more += rows.spans[end++].length;
        target.resize(target.size() + more);
        char *dest = target.data();
        for (; i < end; ++i) {
            const QByteArrayView row = rows.row(i);
            if (!row.isEmpty())
                std::memcpy(dest + offset, row.data(), static_cast<size_t>(row.size()));
            pushRef({block << BlockShift | flags | quint32(rows.end(i)) << EndShift, offset});
            offset += static_cast<quint32>(row.size());
            m_store.storedBytes += row.size();
        }
    }
    if (direct)
        endInsertRows();
    else if (shown)
        showHeld(first, m_store.rows);
}

void Conversation::appendMark(const RelayEvent &event)
{
    if (event.kind == RelayEvent::Kind::ServerConnected)
        return SessionMarks::serverFound(&m_store.marks, event);
    const bool shown = m_shownSession == 0 || event.session == m_shownSession;
    const bool direct = shown && !mapped();
    const int row = m_store.rows;
    if (direct)
        beginInsertRows(QModelIndex(), rowCount(), rowCount());
    openChunk(event.time, event.session);
    pushMark(SessionMark{event, {}});
    if (direct)
        endInsertRows();
    else if (shown)
        showHeld(row, row + 1);
}

void Conversation::clear()
{
    beginResetModel();
    keepForUndo();
    rebuildShown();
    endResetModel();
}

void Conversation::keepForUndo()
{
    const int count = m_store.rows;
    // Clearing empty panes must not lose what an earlier clear kept.
    if (count == 0)
        return;
    if (m_cleared.size() >= size_t(MaxKeptClears))
        m_cleared.erase(m_cleared.begin());
    m_cleared.push_back(std::make_unique<Store>(std::move(m_store)));
    m_store = Store();
    Q_EMIT rowsCleared(count);
}

bool Conversation::restoreCleared()
{
    if (m_cleared.empty())
        return false;
    beginResetModel();
    const Store since = std::move(m_store);
    m_store = std::move(*m_cleared.back());
    m_cleared.pop_back();
    // Rows captured after the clear follow the ones it took, chunk by chunk.
    for (size_t c = 0; c < since.chunks.size(); ++c) {
        const int first = since.chunks[c].firstRow;
        const int end = c + 1 < since.chunks.size() ? since.chunks[c + 1].firstRow : since.rows;
        openChunk(since.chunks[c].arrivedMsecs, since.chunks[c].session);
        for (int row = first; row < end; ++row) {
            const RowRef &r = since.at(row);
            if (r.flagsAndBlock & MarkerBit)
                pushMark(since.marks[r.flagsAndBlock >> BlockShift]);
            else
                pushRow(r.flagsAndBlock & ((1U << BlockShift) - 1), bytesIn(since, row));
        }
    }
    rebuildShown();
    endResetModel();
    return true;
}

void Conversation::load(const TranscriptReader &reader)
{
    stageLines(reader);
    commitStaged(nullptr);
}

void Conversation::stageLines(const TranscriptReader &reader)
{
    if (!m_staged)
        m_staged = std::make_unique<Store>();
    // Built with the same helpers as the rows shown, on a store of its own:
    // swapped in for the time of this call only, which hands no control to
    // the views, so they never see it.
    std::swap(m_store, *m_staged);
    for (const TranscriptReader::Line &line : reader.lines()) {
        const bool marker = line.kind == TranscriptReader::Line::Kind::Marker;
        const quint32 flags = marker ? MarkerBit
                                     : (line.side == Side::Server ? ServerBit : 0U) | (line.encrypted ? EncryptedBit : 0U);
        // Lines of one side and session stamped alike came in one chunk, as
        // far as anyone can tell.
        const bool sameChunk = !marker && m_store.rows > 0 && m_store.chunks.back().arrivedMsecs == line.msecs
                            && m_store.chunks.back().session == line.session
                            && (m_store.at(m_store.rows - 1).flagsAndBlock & KindBits) == flags;
        if (!sameChunk)
            openChunk(line.msecs, line.session);
        if (marker)
            pushMark(reader.mark(line));
        else
            pushRow(flags | quint32(line.end) << EndShift, reader.bytes(line));
    }
    std::swap(m_store, *m_staged);
}

void Conversation::commitStaged(const TranscriptReader *placing)
{
    if (!m_staged)
        m_staged = std::make_unique<Store>();
    if (placing) {
        for (Chunk &chunk : m_staged->chunks)
            chunk.arrivedMsecs = placing->placedMsecs(chunk.arrivedMsecs);
        for (SessionMark &mark : m_staged->marks)
            mark.event.time = placing->placedMsecs(mark.event.time);
    }
    beginResetModel();
    keepForUndo();
    m_store = std::move(*m_staged);
    m_staged.reset();
    rebuildShown();
    endResetModel();
}

void Conversation::dropStaged()
{
    m_staged.reset();
}

void Conversation::openChunk(qint64 arrivedMsecs, int session)
{
    m_store.chunks.push_back({m_store.rows, session, arrivedMsecs});
}

void Conversation::pushRow(quint32 flags, QByteArrayView bytes)
{
    quint32 block = 0;
    quint32 offset = 0;
    char *dest = reserveBytes(bytes.size(), &block, &offset);
    if (!bytes.isEmpty())
        std::memcpy(dest, bytes.data(), static_cast<size_t>(bytes.size()));
    pushRef({block << BlockShift | flags, offset});
    m_store.storedBytes += bytes.size();
}

void Conversation::pushMark(const SessionMark &mark)
{
    const auto index = static_cast<quint32>(m_store.marks.size());
    m_store.marks.push_back(mark);
    const auto next = m_store.blocks.empty() ? 0 : static_cast<quint32>(m_store.blocks.back().size());
    pushRef({index << BlockShift | MarkerBit, next});
}

void Conversation::pushRef(RowRef r)
{
    if (static_cast<size_t>(m_store.rows) / RefsPerPage == m_store.refPages.size()) {
        // Left unset: every reference is written before it is read, and
        // zeroing would touch all of the page's memory at once.
        std::unique_ptr<RowRef[]> page(new RowRef[RefsPerPage]);
        MemoryHints::prepareForWriting(reinterpret_cast<char *>(page.get()), RefsPerPage * sizeof(RowRef));
        m_store.refPages.push_back(std::move(page));
    }
    m_store.at(m_store.rows) = r;
    ++m_store.rows;
}

char *Conversation::reserveBytes(qsizetype length, quint32 *block, quint32 *offset)
{
    // A row never straddles two blocks; rows are at most a capture row long,
    // far below a block, so the space left unused at a block's end is small.
    auto &blocks = m_store.blocks;
    if (blocks.empty() || blocks.back().size() + length > m_store.blockEnd) {
        QByteArray fresh;
        if (length <= BlockBytes) {
            fresh = m_reserve.take();
            m_store.blockEnd = fresh.size() + BlockBytes;
        } else {
            fresh.reserve(length);
            m_store.blockEnd = length;
            // Filled within moments of its allocation.
            MemoryHints::prepareForWriting(fresh.data(), length);
        }
        blocks.push_back(std::move(fresh));
    }
    QByteArray &last = blocks.back();
    *block = static_cast<quint32>(blocks.size() - 1);
    *offset = static_cast<quint32>(last.size());
    last.resize(last.size() + length);
    return last.data() + *offset;
}

int Conversation::session(int row) const
{
    return m_store.chunks[chunkIndex(stored(row))].session;
}

void Conversation::setDifference(int heldRow, int session, const QString &original)
{
    if (heldRow < 0 || heldRow >= m_store.rows || m_store.chunks[chunkIndex(heldRow)].session != session
        || (m_store.at(heldRow).flagsAndBlock & MarkerBit))
        return;
    m_store.differences.insert(heldRow, original);
    int row = heldRow;
    if (m_shownSession != 0) {
        const auto at = std::lower_bound(m_shown.begin(), m_shown.end(), heldRow);
        if (at == m_shown.end() || *at != heldRow)
            return;
        row = int(at - m_shown.begin());
    }
    Q_EMIT dataChanged(index(row, 0), index(row, 1), {DifferenceRole, Qt::ToolTipRole});
}

QString Conversation::difference(int row) const
{
    return m_store.differences.isEmpty() ? QString() : m_store.differences.value(stored(row));
}

void Conversation::showSession(int session)
{
    if (session == m_shownSession)
        return;
    beginResetModel();
    m_shownSession = session;
    rebuildShown();
    endResetModel();
}

void Conversation::setRowFilter(RowFilter keep)
{
    if (!keep && !m_keep)
        return;
    beginResetModel();
    m_keep = std::move(keep);
    rebuildShown();
    endResetModel();
}

bool Conversation::kept(int storedRow) const
{
    if (!m_keep)
        return true;
    const RowRef &r = m_store.at(storedRow);
    if (r.flagsAndBlock & MarkerBit)
        return m_keep(QByteArrayView(), &m_store.marks[r.flagsAndBlock >> BlockShift]);
    return m_keep(bytesIn(m_store, storedRow), nullptr);
}

void Conversation::showHeld(int first, int end)
{
    std::vector<int> rows;
    for (int row = first; row < end; ++row)
        if (kept(row))
            rows.push_back(row);
    if (rows.empty())
        return;
    beginInsertRows(QModelIndex(), rowCount(), rowCount() + static_cast<int>(rows.size()) - 1);
    m_shown.insert(m_shown.end(), rows.begin(), rows.end());
    endInsertRows();
}

void Conversation::rebuildShown()
{
    // Released, not emptied, when every row is shown: the table then costs nothing.
    std::vector<int>().swap(m_shown);
    if (!mapped())
        return;
    const auto &chunks = m_store.chunks;
    for (size_t c = 0; c < chunks.size(); ++c) {
        if (m_shownSession != 0 && chunks[c].session != m_shownSession)
            continue;
        const int end = c + 1 < chunks.size() ? chunks[c + 1].firstRow : m_store.rows;
        for (int row = chunks[c].firstRow; row < end; ++row)
            if (kept(row))
                m_shown.push_back(row);
    }
}
