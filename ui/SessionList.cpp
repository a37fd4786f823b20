#include "SessionList.h"

#include "Conversation.h"
#include "PaneView.h"
#include "RowDelegate.h"
#include "SessionGutter.h"
#include "SessionTable.h"

#include <algorithm>
#include <QAction>
#include <QConcatenateTablesProxyModel>
#include <QHeaderView>
#include <QPainter>
#include <QStandardItemModel>

namespace {

// The palette's text leaning to red, or black or white where that would read poorly.
QColor failureInk(const QPalette &palette)
{
    const QColor text = palette.color(QPalette::Text);
    const QColor red(0xd0, 0x20, 0x20);
    // Nearer the red on a light base; on a dark one, a light red.
    const qreal share = palette.color(QPalette::Base).lightness() < text.lightness() ? 0.5 : 0.8;
    const QColor preferred = QColor::fromRgbF(text.redF() + (red.redF() - text.redF()) * share,
                                              text.greenF() + (red.greenF() - text.greenF()) * share,
                                              text.blueF() + (red.blueF() - text.blueF()) * share);
    return RowDelegate::inkOn(palette.color(QPalette::Base), preferred);
}

} // namespace

SessionList::SessionList(Conversation *conversation, PaneView *clientPane, QWidget *parent)
    : QTreeView(parent)
    , m_conversation(conversation)
    , m_clientPane(clientPane)
    , m_table(new SessionTable(this))
    , m_all(new QStandardItemModel(1, SessionTable::ColumnCount, this))
    , m_gutter(new SessionGutter(clientPane))
{
    setObjectName(QStringLiteral("lstSessions"));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideRight);
    header()->setStretchLastSection(false);
    hide();

    // "Toutes" is a row of its own above the sessions; the list's captions are its.
    auto *all = new QStandardItem(tr("Toutes"));
    all->setToolTip(tr("Toutes les sessions : chaque ligne à son rang d'arrivée,\n"
                       "le numéro de sa session dans la colonne à gauche des lignes du client"));
    m_all->setItem(0, 0, all);
    for (int column = 0; column < SessionTable::ColumnCount; ++column) {
        for (int role : {int(Qt::DisplayRole), int(Qt::ToolTipRole)})
            m_all->setHeaderData(column, Qt::Horizontal, m_table->headerData(column, Qt::Horizontal, role), role);
    }
    auto *listed = new QConcatenateTablesProxyModel(this);
    listed->addSourceModel(m_all);
    listed->addSourceModel(m_table);
    setModel(listed);
    setFirstColumnSpanned(0, QModelIndex(), true);
    sizeColumns();
    connect(m_table, &SessionTable::rowsInserted, this, &SessionList::onSessionsChanged);
    connect(m_table, &SessionTable::modelReset, this, &SessionList::onSessionsChanged);

    // In the list's menu: the sessions that went wrong alone, as they end.
    m_failuresOnly = new QAction(tr("Échecs &seulement"), this);
    m_failuresOnly->setObjectName(QStringLiteral("actEchecsSeulement"));
    m_failuresOnly->setCheckable(true);
    addAction(m_failuresOnly);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_failuresOnly, &QAction::toggled, this, &SessionList::hideSucceeded);
    connect(m_table, &SessionTable::dataChanged, this, &SessionList::hideSucceeded);
    showSession(0);
}

void SessionList::sizeColumns(bool numberOnly)
{
    // Wide enough for what each column usually holds; the tooltips say it all.
    const QFontMetrics metrics = fontMetrics();
    const int pad = 2 * metrics.averageCharWidth();
    const int icon = metrics.height();
    // The number column fits the newest session's number, the largest: numbers run on over a whole run.
    const int rows = m_table->rowCount();
    const int newest = rows > 0 ? m_table->index(rows - 1, 0).data(SessionTable::SessionRole).toInt() : 0;
    const QString widest[] = {QString(std::max(2, int(QString::number(newest).size())), QLatin1Char('8')), QStringLiteral("127.0.0.1:40112"), QStringLiteral("00:00:00"),
                              tr("fermée par le client"), QStringLiteral("000 000"), QStringLiteral("000 000")};
    // Later, only a number with more digits widens its column; what the user set stays.
    for (int column = 0; column < (numberOnly ? 1 : int(SessionTable::ColumnCount)); ++column) {
        const int width = metrics.horizontalAdvance(widest[column]) + pad + (column == 0 ? icon : 0);
        if (!numberOnly || header()->sectionSize(column) < width)
            header()->resizeSection(column, width);
    }
    // "État" takes what the list's width leaves, and gives it back first.
    header()->setSectionResizeMode(SessionTable::StateColumn, QHeaderView::Stretch);
}

void SessionList::startRun(int maxClients)
{
    m_severalClients = maxClients >= 2;
    m_table->clear();
    showSession(0);
    onSessionsChanged();
}

void SessionList::rebuild()
{
    // The marks of every row tell the sessions, whichever was shown; the
    // reset that follows selects "Toutes" again.
    showSession(0);
    m_table->rebuild(*m_conversation);
}

void SessionList::showSession(int session)
{
    const int row = session == 0 ? 0 : m_table->rowOf(session) + 1;
    if (row < 0)
        return;
    selectionModel()->setCurrentIndex(model()->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void SessionList::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    QTreeView::selectionChanged(selected, deselected);
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const int session = rows.first().row() == 0 ? 0 : rows.first().data(SessionTable::SessionRole).toInt();
    const int shown = m_conversation->shownSession();
    if (session != shown) {
        if (shown == 0)
            m_allFirstRow = std::max(0, m_clientPane->firstVisibleRow());
        m_conversation->showSession(session);
        // A session is read from its start; "Toutes" again where it was left.
        m_clientPane->setFirstVisibleRow(session == 0 ? m_allFirstRow : 0);
    }
    m_gutter->setShown(m_table->rowCount() > 0 && session == 0);
}

void SessionList::hideSucceeded()
{
    const bool failuresOnly = m_failuresOnly->isChecked();
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const bool failed = m_table->index(row, 0).data(SessionTable::FailedRole).toBool();
        setRowHidden(row + 1, QModelIndex(), failuresOnly && !failed);
    }
}

void SessionList::onSessionsChanged()
{
    hideSucceeded();
    // A reset of the sessions loses the spans and the selection with it.
    setFirstColumnSpanned(0, QModelIndex(), true);
    if (!selectionModel()->hasSelection())
        showSession(0);
    m_gutter->setShown(m_table->rowCount() > 0 && m_conversation->shownSession() == 0);
    // Wider for a number with more digits; never narrower than the user made it.
    sizeColumns(true);
    const bool wanted = m_severalClients || m_table->rowCount() > 0;
    if (wanted == m_wanted)
        return;
    m_wanted = wanted;
    Q_EMIT wantedChanged();
}

void SessionList::drawRow(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (!index.data(SessionTable::FailedRole).toBool()) {
        QTreeView::drawRow(painter, option, index);
        return;
    }
    // Marked twice, so that neither colour nor sign alone carries it.
    QStyleOptionViewItem marked = option;
    marked.palette.setColor(QPalette::Text, failureInk(option.palette));
    QTreeView::drawRow(painter, marked, index);
    const QRect cell = visualRect(index.siblingAtColumn(0));
    const int size = std::min(cell.height() - 2, fontMetrics().height());
    style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this)
        .paint(painter, QRect(cell.left() + 2, cell.center().y() - size / 2, size, size));
}
