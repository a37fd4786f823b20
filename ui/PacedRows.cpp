#include "PacedRows.h"

#include <algorithm>

PacedRows::PacedRows(QAbstractItemModel *source, QObject *parent)
    : QAbstractTableModel(parent)
    , m_source(source)
    , m_rows(source->rowCount())
{
    m_pace.setSingleShot(true);
    connect(&m_pace, &QTimer::timeout, this, &PacedRows::onPaceTimeout);
    connect(source, &QAbstractItemModel::rowsInserted, this, &PacedRows::onSourceRowsInserted);
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, &PacedRows::onSourceAboutToBeReset);
    connect(source, &QAbstractItemModel::modelReset, this, &PacedRows::onSourceReset);
    connect(source, &QAbstractItemModel::dataChanged, this, &PacedRows::onSourceDataChanged);
    // Rows removed or reordered in the source are taken as a reset.
    connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this, &PacedRows::onSourceAboutToBeReset);
    connect(source, &QAbstractItemModel::rowsRemoved, this, &PacedRows::onSourceReset);
    connect(source, &QAbstractItemModel::layoutAboutToBeChanged, this, &PacedRows::onSourceAboutToBeReset);
    connect(source, &QAbstractItemModel::layoutChanged, this, &PacedRows::onSourceReset);
}

int PacedRows::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int PacedRows::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_source->columnCount();
}

QModelIndex PacedRows::sourceIndex(const QModelIndex &index) const
{
    return m_source->index(index.row(), index.column());
}

QVariant PacedRows::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows)
        return QVariant();
    return m_source->data(sourceIndex(index), role);
}

Qt::ItemFlags PacedRows::flags(const QModelIndex &index) const
{
    if (!index.isValid() || index.row() >= m_rows)
        return Qt::NoItemFlags;
    return m_source->flags(sourceIndex(index));
}

void PacedRows::publish()
{
    m_pace.stop();
    const int rows = m_source->rowCount();
    if (rows > m_rows) {
        QElapsedTimer cost;
        cost.start();
        beginInsertRows(QModelIndex(), m_rows, rows - 1);
        m_rows = rows;
        endInsertRows();
        m_intervalMs = std::max<qint64>(IntervalMs, CostShare * cost.elapsed());
    }
    m_sincePublish.start();
}

void PacedRows::onSourceRowsInserted(const QModelIndex &parent, int first, int last)
{
    Q_UNUSED(first);
    Q_UNUSED(last);
    if (parent.isValid() || m_pace.isActive())
        return;
    const qint64 since = m_sincePublish.isValid() ? m_sincePublish.elapsed() : m_intervalMs;
    if (since >= m_intervalMs)
        publish();
    else
        m_pace.start(static_cast<int>(m_intervalMs - since));
}

void PacedRows::onPaceTimeout()
{
    publish();
}

void PacedRows::onSourceAboutToBeReset()
{
    m_pace.stop();
    beginResetModel();
}

void PacedRows::onSourceReset()
{
    m_rows = m_source->rowCount();
    m_intervalMs = IntervalMs;
    endResetModel();
}

void PacedRows::onSourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                                    const QList<int> &roles)
{
    const int last = std::min(bottomRight.row(), m_rows - 1);
    if (topLeft.row() <= last)
        Q_EMIT dataChanged(index(topLeft.row(), topLeft.column()), index(last, bottomRight.column()), roles);
}
