#ifndef DRAVLIN_SESSIONLIST_H
#define DRAVLIN_SESSIONLIST_H

#include <QTreeView>

class Conversation;
class PaneView;
class QAction;
class QStandardItemModel;
class SessionGutter;
class SessionTable;

// The sessions beside the panes: "Toutes" at the top, then one row per
// session, newest at the bottom, those where something went wrong marked in
// the palette's red with a warning sign. Selecting a session shows its rows
// alone in the panes; "Toutes" shows every row, each with its session's
// number in a narrow column left of the client's pane. New sessions are
// added below and never take the selection nor scroll the list or the panes.
// Its menu's "Échecs seulement" lists only the sessions that went wrong.
//
// Wanted while the relay takes several clients at once, or while sessions
// are listed (a saved conversation that has some); with one client at a
// time nothing of it shows.
class SessionList : public QTreeView
{
    Q_OBJECT

public:
    // The list's width beside the panes, at the design's scale.
    static constexpr int WidthTwips = 3600;

    SessionList(Conversation *conversation, PaneView *clientPane, QWidget *parent);

    SessionTable *table() const { return m_table; }
    bool isWanted() const { return m_wanted; }
    // A new run: nothing listed, every row shown; wanted when the relay
    // takes several clients at once.
    void startRun(int maxClients);
    // The sessions the conversation's marks tell, as after opening a file or
    // bringing cleared rows back; every row shown.
    void rebuild();
    // Selects that session, or "Toutes" (0), and shows its rows.
    void showSession(int session);

Q_SIGNALS:
    void wantedChanged();

protected:
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
    void drawRow(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    void onSessionsChanged();
    // "Échecs seulement": the sessions that did not fail hidden, "Toutes" kept.
    void hideSucceeded();
    void sizeColumns(bool numberOnly = false);

    Conversation *m_conversation;
    PaneView *m_clientPane;
    SessionTable *m_table;
    QStandardItemModel *m_all;
    SessionGutter *m_gutter;
    QAction *m_failuresOnly;
    bool m_severalClients = false;
    bool m_wanted = false;
    // Where "Toutes" was read when a session was chosen, to come back to.
    int m_allFirstRow = 0;
};

#endif
