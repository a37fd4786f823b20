#ifndef DRAVLIN_TRAFFICPANES_H
#define DRAVLIN_TRAFFICPANES_H

#include <QObject>

class Conversation;
class PaneView;

// Puts one conversation in two panes side by side, the client's lines on the
// left and the server's on the right, each with alignment rows where the other
// has a line. Both panes are views of the same model, so they always hold the
// same rows and clearing is one operation. The panes scroll together, and a
// double-click on either clears the conversation.
class TrafficPanes : public QObject
{
    Q_OBJECT

public:
    TrafficPanes(Conversation *conversation, PaneView *clientPane, PaneView *serverPane,
                 QObject *parent = nullptr);

    void clear();

private Q_SLOTS:
    void onClientPaneScrolled(int row);
    void onServerPaneScrolled(int row);
    void onPaneDoubleClicked();

private:
    void follow(PaneView *follower, int row);

    Conversation *m_conversation;
    PaneView *m_clientPane;
    PaneView *m_serverPane;
    bool m_following = false;
};

#endif
