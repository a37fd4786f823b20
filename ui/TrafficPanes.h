#ifndef DRAVLIN_TRAFFICPANES_H
#define DRAVLIN_TRAFFICPANES_H

#include <QByteArray>
#include <QList>
#include <QObject>

class Conversation;
class PacedRows;
class PaneView;
class QAction;
class QModelIndex;
class QToolButton;

// Puts one conversation in two panes side by side, the client's lines on the
// left and the server's on the right, each with alignment rows where the other
// has a line. Both panes are views of the same model with one selection, so
// they always hold and select the same rows and clearing is one operation. The panes scroll together, and a
// double-click on either clears the conversation.
//
// The panes never scroll by themselves: rows that arrive below the visible
// ones are counted on a small notice over the panes, whose click goes to the
// end. Enter or "Détails…" on a row opens its details.
class TrafficPanes : public QObject
{
    Q_OBJECT

public:
    TrafficPanes(Conversation *conversation, PaneView *clientPane, PaneView *serverPane,
                 QObject *parent = nullptr);

    void clear();
    // Both panes to the last row, held-back rows included.
    void goToEnd();
    // Scrolls both panes to bring the row into view, if it is not already.
    void showRow(int row);
    // Selects the row in both panes, makes it current and brings it into view.
    void selectRow(int row);
    // Selects the next failure after the current row (before it when
    // backwards), wrapping round: a server's failure reply (SMTP or FTP 4xx
    // and 5xx, POP3 -ERR, IMAP NO and BAD) or a session that ended on a
    // failure. False when the rows shown hold none.
    bool selectFailure(bool backwards);
    // Whether the row is such a failure.
    static bool isFailure(const Conversation &conversation, int row);
    // Puts on the clipboard the rows selected, from the pane that has the
    // focus, or the whole conversation when no row is selected.
    void copyRows();
    // While read-only, a double-click does not clear the panes.
    void setReadOnly(bool readOnly);
    // What a double-click does, for the panes' context menu; disabled while read-only.
    QAction *clearAction() const { return m_clearAction; }
    // The rows selected, the same in both panes, top to bottom.
    QList<int> selectedRows() const;
    // Those rows as the transcript writes them, one a line; empty when none.
    QByteArray selectedTranscript() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private Q_SLOTS:
    void onPaneScrolled(PaneView *other, int row);
    void onPaneDoubleClicked();
    void onRowsShown(const QModelIndex &parent, int first, int last);
    void onRowsReset();
    void onNoticeClicked();
    void onDetailsRequested(int row);

private:
    void follow(PaneView *follower, int row);
    void spanMarks();
    void forgetSeenRows();
    void showNotice();
    void placeNotice();

    Conversation *m_conversation;
    PacedRows *m_shown;
    PaneView *m_clientPane;
    PaneView *m_serverPane;
    QToolButton *m_notice;
    QAction *m_clearAction;
    int m_unseen = 0;
    bool m_following = false;
    bool m_readOnly = false;
};

#endif
