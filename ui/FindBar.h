#ifndef DRAVLIN_FINDBAR_H
#define DRAVLIN_FINDBAR_H

#include <QWidget>

class ConversationSearch;
class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;

// The find bar over the panes: the text to find, previous and next, and
// "n / total", or "aucun résultat"; "Expression régulière" reads the text as
// one, a pattern that does not compile turning the field red, why in its
// tooltip. "Filtrer" shows the matching rows only while the bar is open. Enter and F3 go to the next match, Shift+Enter and Shift+F3 to
// the previous one, Escape hides the bar.
//
// It drives a ConversationSearch and tells which row is the current match;
// bringing that row into view is left to whoever shows the panes.
class FindBar : public QWidget
{
    Q_OBJECT

public:
    explicit FindBar(ConversationSearch *search, QWidget *parent = nullptr);

    // Where the first match is looked for while there is no current one,
    // e.g. the top row in view: the first match at or after it.
    void setStartRow(int row) { m_startRow = row; }

public Q_SLOTS:
    // Shows the bar with its text selected, ready to type over.
    void open();
    void findNext();
    void findPrevious();

Q_SIGNALS:
    void currentMatchChanged(int row);
    // The user asked to go to a match (Enter, F3, the arrows): the row, -1
    // when there is none. Typing never asks.
    void matchRequested(int row);
    void matchesChanged();
    // Hidden by Escape or its close button.
    void closed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private Q_SLOTS:
    void onTextEdited(const QString &text);
    void onSearchMatchesChanged();
    void onCloseClicked();
    void onRegularExpressionToggled(bool on);
    void onFilterToggled();

private:
    void setCurrent(int row);
    void showCount();
    // Red, with why in its tooltip, while the pattern does not compile.
    void showPatternState();

    ConversationSearch *m_search;
    QLineEdit *txtRecherche = nullptr;
    QToolButton *cmdPrecedent = nullptr;
    QToolButton *cmdSuivant = nullptr;
    QToolButton *cmdFermer = nullptr;
    QLabel *lblCompte = nullptr;
    QCheckBox *chkExpression = nullptr;
    QCheckBox *chkFiltrer = nullptr;
    int m_current = -1;
    int m_startRow = 0;
};

#endif
