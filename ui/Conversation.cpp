#include "Conversation.h"

#include "RowText.h"
#include "Transcript.h"

#include <algorithm>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {
constexpr int RefsPerPage = 1 << 16;
constexpr qsizetype BlockBytes = 1 << 20;

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

// A block is filled within moments of its allocation; mapping its pages in
// one call is much cheaper than taking a fault on each of them as rows land.
void prefault(QByteArray &block)
{
#ifdef MADV_POPULATE_WRITE
    const auto pageSize = static_cast<quintptr>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<quintptr>(block.data());
    const quintptr first = (begin + pageSize - 1) & ~(pageSize - 1);
    const quintptr end = (begin + static_cast<quintptr>(block.capacity())) & ~(pageSize - 1);
    if (end > first) // failure only means the pages are mapped one fault at a time
        madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE);
#else
    Q_UNUSED(block);
#endif
}

} // namespace

Conversation::Conversation(QObject *parent)
    : QAbstractTableModel(parent)
{
}

Conversation::~Conversation() = default;

int Conversation::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int Conversation::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant Conversation::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows)
        return QVariant();
    // Both panes show the same row of the conversation, so both tell its time.
    if (role == Qt::ToolTipRole)
        return arrivalText(index.row());
    const Side pane = index.column() == 0 ? Side::Client : Side::Server;
    switch (role) {
    case Qt::DisplayRole:
        return text(index.row(), pane);
    case ShownTextRole:
        return shownText(index.row(), pane);
    case AlignmentRole:
        return side(index.row()) != pane;
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
    return m_refPages[static_cast<size_t>(row / RefsPerPage)][row % RefsPerPage];
}

Side Conversation::side(int row) const
{
    return (ref(row).blockAndSide & 1U) ? Side::Server : Side::Client;
}

QByteArrayView Conversation::bytes(int row) const
{
    const RowRef &r = ref(row);
    const quint32 block = r.blockAndSide >> 1;
    qsizetype end = m_blocks[block].size();
    if (row + 1 < m_rows) {
        const RowRef &next = ref(row + 1);
        if ((next.blockAndSide >> 1) == block)
            end = next.offset;
    }
    return QByteArrayView(m_blocks[block]).sliced(r.offset, end - r.offset);
}

qint64 Conversation::arrivedMsecs(int row) const
{
    const auto after = std::upper_bound(m_chunks.begin(), m_chunks.end(), row,
                                        [](int r, const Chunk &c) { return r < c.firstRow; });
    return after == m_chunks.begin() ? 0 : std::prev(after)->arrivedMsecs;
}

QString Conversation::text(int row, Side pane) const
{
    if (side(row) != pane)
        return AlignmentRow;
    return RowText::display(bytes(row));
}

QString Conversation::shownText(int row, Side pane) const
{
    if (side(row) != pane)
        return AlignmentRow;
    const QByteArrayView all = bytes(row);
    // At most four UTF-8 bytes per character; whether the row reads as UTF-8
    // is decided on all of it, as text() decides, which is a cheap scan.
    constexpr qsizetype Wanted = ShownChars + 1;
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
    const QString time = Transcript::clockTime(arrived);
    if (row == 0)
        return time;
    return QStringLiteral("%1 (%2)").arg(time, gapText(arrived - arrivedMsecs(row - 1)));
}

QByteArray Conversation::transcript(int first, int count) const
{
    QByteArray out;
    QByteArray stamp;
    qint64 stampedMsecs = 0;
    for (int row = first; row < first + count; ++row) {
        // Rows of one chunk share a time: the stamp is formatted once for them.
        const qint64 arrived = arrivedMsecs(row);
        if (stamp.isEmpty() || arrived != stampedMsecs) {
            stamp = Transcript::stamp(arrived);
            stampedMsecs = arrived;
        }
        Transcript::appendLine(out, stamp, side(row), bytes(row));
    }
    return out;
}

void Conversation::appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs)
{
    const int count = static_cast<int>(rows.count());
    if (count == 0)
        return;
    beginInsertRows(QModelIndex(), m_rows, m_rows + count - 1);
    m_chunks.push_back({m_rows, arrivedMsecs});
    const quint32 sideBit = side == Side::Server ? 1U : 0U;
    for (int i = 0; i < count;) {
        // The first row opens a block if need be; the rows after it that also
        // fit are sized in with one resize rather than one each.
        quint32 block = 0;
        quint32 offset = 0;
        reserveBytes(rows.spans[i].length, &block, &offset);
        QByteArray &target = m_blocks[block];
        const qsizetype room = target.capacity() - target.size();
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
            pushRef({block << 1 | sideBit, offset});
            offset += static_cast<quint32>(row.size());
            m_storedBytes += row.size();
        }
    }
    endInsertRows();
}

void Conversation::clear()
{
    beginResetModel();
    m_refPages.clear();
    m_blocks.clear();
    m_chunks.clear();
    m_rows = 0;
    m_storedBytes = 0;
    endResetModel();
}

void Conversation::pushRef(RowRef r)
{
    const size_t page = static_cast<size_t>(m_rows / RefsPerPage);
    if (page == m_refPages.size())
        m_refPages.push_back(std::make_unique<RowRef[]>(RefsPerPage));
    m_refPages[page][m_rows % RefsPerPage] = r;
    ++m_rows;
}

char *Conversation::reserveBytes(qsizetype length, quint32 *block, quint32 *offset)
{
    // A row never straddles two blocks; rows are at most a capture row long,
    // far below a block, so the space left unused at a block's end is small.
    if (m_blocks.empty() || m_blocks.back().size() + length > m_blocks.back().capacity()) {
        QByteArray fresh;
        fresh.reserve(std::max(BlockBytes, length));
        prefault(fresh);
        m_blocks.push_back(std::move(fresh));
    }
    QByteArray &last = m_blocks.back();
    *block = static_cast<quint32>(m_blocks.size() - 1);
    *offset = static_cast<quint32>(last.size());
    last.resize(last.size() + length);
    return last.data() + *offset;
}
