#include "SearchController.h"

#include "ConversationSearch.h"
#include "FindBar.h"
#include "PaneView.h"
#include "RowDelegate.h"

#include <algorithm>

SearchController::SearchController(Conversation *conversation, PaneView *clientPane,
                                   PaneView *serverPane, QWidget *barParent)
    : QObject(barParent)
    , m_clientPane(clientPane)
    , m_serverPane(serverPane)
    , m_search(new ConversationSearch(conversation, this))
    , m_bar(new FindBar(m_search, barParent))
{
    m_bar->hide();
    connect(m_bar, &FindBar::currentMatchChanged, this, &SearchController::onCurrentMatchChanged);
    connect(m_bar, &FindBar::matchesChanged, this, &SearchController::repaintPanes);
    connect(m_bar, &FindBar::closed, this, &SearchController::onBarClosed);
}

void SearchController::open()
{
    highlightIn(m_search);
    m_bar->setStartRow(std::max(0, m_clientPane->firstVisibleRow()));
    m_bar->open();
    Q_EMIT barToggled();
    repaintPanes();
}

void SearchController::onCurrentMatchChanged(int row)
{
    for (PaneView *pane : {m_clientPane, m_serverPane})
        static_cast<RowDelegate *>(pane->itemDelegate())->setCurrentMatch(row);
    repaintPanes();
}

void SearchController::onBarClosed()
{
    highlightIn(nullptr);
    Q_EMIT barToggled();
    repaintPanes();
    // The focus would otherwise fall to the next control in the chain, a field.
    m_clientPane->setFocus();
}

void SearchController::highlightIn(const ConversationSearch *search)
{
    for (PaneView *pane : {m_clientPane, m_serverPane})
        static_cast<RowDelegate *>(pane->itemDelegate())->setSearch(search);
}

void SearchController::repaintPanes()
{
    m_clientPane->viewport()->update();
    m_serverPane->viewport()->update();
}
