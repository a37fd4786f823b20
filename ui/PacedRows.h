#ifndef DRAVLIN_PACEDROWS_H
#define DRAVLIN_PACEDROWS_H

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QTimer>

// The rows of a flat model as the panes see them: the same rows, but rows
// appended to the source reach the views at most once per interval. A flood
// of small chunks would otherwise have every view lay out and repaint once
// per chunk, on the thread that also relays, so the peers would go as fast as
// the screen draws. A row that comes after a quiet spell is shown at once.
//
// A view's own work for an insertion may grow with the rows it holds (the
// panes keep nothing per row, but any item view may be attached); the
// interval stretches so that handing rows over never takes more than a few
// percent of the time, however long the capture.
class PacedRows : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int IntervalMs = 50;
    // The interval is at least this many times what the last hand-over cost.
    static constexpr int CostShare = 25;

    explicit PacedRows(QAbstractItemModel *source, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // Hands over whatever is held back, for a user who asks for the end.
    void publish();

private Q_SLOTS:
    void onSourceRowsInserted(const QModelIndex &parent, int first, int last);
    void onSourceAboutToBeReset();
    void onSourceReset();
    void onSourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                             const QList<int> &roles);
    void onPaceTimeout();

private:
    QModelIndex sourceIndex(const QModelIndex &index) const;

    QAbstractItemModel *m_source;
    QTimer m_pace;
    QElapsedTimer m_sincePublish;
    qint64 m_intervalMs = IntervalMs;
    int m_rows = 0;
};

#endif
