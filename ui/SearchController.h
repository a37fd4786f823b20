#ifndef DRAVLIN_SEARCHCONTROLLER_H
#define DRAVLIN_SEARCHCONTROLLER_H

#include <QObject>

class Conversation;
class ConversationSearch;
class FindBar;
class PaneView;
class QWidget;

// Brings the find bar to both panes: while it is open, both panes highlight
// the matches and the current one. Where the bar goes, and bringing a match
// into view, is left to whoever lays out the panes.
class SearchController : public QObject
{
    Q_OBJECT

public:
    // The bar is made hidden, a child of barParent.
    SearchController(Conversation *conversation, PaneView *clientPane, PaneView *serverPane,
                     QWidget *barParent);

    FindBar *bar() { return m_bar; }
    // Shows the bar, the first match looked for from the top row in view.
    void open();

Q_SIGNALS:
    // The bar was shown or hidden: the panes' room has changed.
    void barToggled();

private Q_SLOTS:
    void onCurrentMatchChanged(int row);
    void onBarClosed();

private:
    void highlightIn(const ConversationSearch *search);
    void repaintPanes();

    PaneView *m_clientPane;
    PaneView *m_serverPane;
    ConversationSearch *m_search;
    FindBar *m_bar;
};

#endif
