#include "TrafficPanes.h"

#include "Conversation.h"
#include "PaneView.h"

TrafficPanes::TrafficPanes(Conversation *conversation, PaneView *clientPane,
                           PaneView *serverPane, QObject *parent)
    : QObject(parent)
    , m_conversation(conversation)
    , m_clientPane(clientPane)
    , m_serverPane(serverPane)
{
    m_clientPane->setModel(m_conversation);
    m_clientPane->setModelColumn(0);
    m_serverPane->setModel(m_conversation);
    m_serverPane->setModelColumn(1);

    connect(m_clientPane, &PaneView::firstVisibleRowChanged, this,
            &TrafficPanes::onClientPaneScrolled);
    connect(m_serverPane, &PaneView::firstVisibleRowChanged, this,
            &TrafficPanes::onServerPaneScrolled);
    connect(m_clientPane, &PaneView::paneDoubleClicked, this, &TrafficPanes::onPaneDoubleClicked);
    connect(m_serverPane, &PaneView::paneDoubleClicked, this, &TrafficPanes::onPaneDoubleClicked);
}

void TrafficPanes::clear()
{
    m_conversation->clear();
}

void TrafficPanes::onClientPaneScrolled(int row)
{
    follow(m_serverPane, row);
}

void TrafficPanes::onServerPaneScrolled(int row)
{
    follow(m_clientPane, row);
}

void TrafficPanes::onPaneDoubleClicked()
{
    clear();
}

void TrafficPanes::follow(PaneView *follower, int row)
{
    // The follower's own scroll comes back here; it must not be echoed.
    if (m_following)
        return;
    m_following = true;
    follower->setFirstVisibleRow(row);
    m_following = false;
}
