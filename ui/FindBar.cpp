#include "FindBar.h"

#include "ConversationSearch.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QToolButton>

FindBar::FindBar(ConversationSearch *search, QWidget *parent)
    : QWidget(parent)
    , m_search(search)
{
    setObjectName(QStringLiteral("barRecherche"));
    txtRecherche = new QLineEdit(this);
    txtRecherche->setObjectName(QStringLiteral("txtRecherche"));
    txtRecherche->setPlaceholderText(tr("Rechercher"));
    txtRecherche->setClearButtonEnabled(true);
    txtRecherche->installEventFilter(this);

    cmdPrecedent = new QToolButton(this);
    cmdPrecedent->setObjectName(QStringLiteral("cmdPrecedent"));
    cmdPrecedent->setArrowType(Qt::UpArrow);
    cmdPrecedent->setToolTip(tr("Précédent (Maj+F3)"));
    cmdSuivant = new QToolButton(this);
    cmdSuivant->setObjectName(QStringLiteral("cmdSuivant"));
    cmdSuivant->setArrowType(Qt::DownArrow);
    cmdSuivant->setToolTip(tr("Suivant (F3)"));
    lblCompte = new QLabel(this);
    lblCompte->setObjectName(QStringLiteral("lblCompte"));
    lblCompte->setMinimumWidth(lblCompte->fontMetrics().horizontalAdvance(QStringLiteral("0000000 / 0000000")));
    chkFiltrer = new QCheckBox(tr("&Filtrer"), this);
    chkFiltrer->setObjectName(QStringLiteral("chkFiltrer"));
    chkFiltrer->setToolTip(tr("Ne montre que les lignes trouvées, tant que la barre de recherche est ouverte."));
    chkExpression = new QCheckBox(tr("E&xpression régulière"), this);
    chkExpression->setObjectName(QStringLiteral("chkExpression"));
    chkExpression->setToolTip(tr("Lit le texte cherché comme une expression régulière (majuscules et minuscules confondues)."));
    cmdFermer = new QToolButton(this);
    cmdFermer->setObjectName(QStringLiteral("cmdFermer"));
    cmdFermer->setText(QStringLiteral("\u00d7"));
    cmdFermer->setToolTip(tr("Fermer (Échap)"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->addWidget(txtRecherche, 1);
    layout->addWidget(cmdPrecedent);
    layout->addWidget(cmdSuivant);
    layout->addWidget(lblCompte);
    layout->addWidget(chkFiltrer);
    layout->addWidget(chkExpression);
    layout->addWidget(cmdFermer);

    // F3 works anywhere in the window while the bar is shown.
    auto *next = new QShortcut(QKeySequence(Qt::Key_F3), this, this, &FindBar::findNext);
    next->setContext(Qt::WindowShortcut);
    auto *previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this, this, &FindBar::findPrevious);
    previous->setContext(Qt::WindowShortcut);
    auto *close = new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &FindBar::onCloseClicked);
    close->setContext(Qt::WidgetWithChildrenShortcut);

    connect(txtRecherche, &QLineEdit::textChanged, this, &FindBar::onTextEdited);
    connect(cmdPrecedent, &QToolButton::clicked, this, &FindBar::findPrevious);
    connect(cmdSuivant, &QToolButton::clicked, this, &FindBar::findNext);
    connect(chkFiltrer, &QCheckBox::toggled, this, &FindBar::onFilterToggled);
    connect(chkExpression, &QCheckBox::toggled, this, &FindBar::onRegularExpressionToggled);
    connect(cmdFermer, &QToolButton::clicked, this, &FindBar::onCloseClicked);
    connect(m_search, &ConversationSearch::matchesChanged, this, &FindBar::onSearchMatchesChanged);
    showCount();
}

void FindBar::open()
{
    show();
    if (chkFiltrer->isChecked())
        onFilterToggled();
    txtRecherche->setFocus(Qt::ShortcutFocusReason);
    txtRecherche->selectAll();
}

void FindBar::findNext()
{
    setCurrent(m_search->next(m_current >= 0 ? m_current : m_startRow - 1));
    Q_EMIT matchRequested(m_current);
}

void FindBar::findPrevious()
{
    setCurrent(m_search->previous(m_current >= 0 ? m_current : m_startRow));
    Q_EMIT matchRequested(m_current);
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == txtRecherche && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier)
                findPrevious();
            else
                findNext();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FindBar::onTextEdited(const QString &text)
{
    // The search answers with matchesChanged, where the current match is
    // kept if it still matches, else moved to the next one.
    m_search->setText(text);
}

void FindBar::onSearchMatchesChanged()
{
    if (m_current < 0 || !m_search->isMatch(m_current)) {
        const int from = m_current >= 0 ? m_current : m_startRow;
        setCurrent(m_search->isMatch(from) ? from : m_search->next(from));
    }
    showCount();
    Q_EMIT matchesChanged();
}

void FindBar::onRegularExpressionToggled(bool on)
{
    m_search->setRegularExpression(on);
    // Back in the field, to go on typing the pattern.
    txtRecherche->setFocus(Qt::OtherFocusReason);
}

void FindBar::onFilterToggled()
{
    // The rows are numbered afresh: the first match shown becomes the current one.
    m_current = -1;
    m_startRow = 0;
    m_search->setFiltering(chkFiltrer->isChecked() && !isHidden());
    Q_EMIT matchRequested(m_current);
    txtRecherche->setFocus(Qt::OtherFocusReason);
}

void FindBar::onCloseClicked()
{
    hide();
    // Its row is numbered among the filtered rows only.
    if (m_search->isFiltering())
        m_current = -1;
    m_search->setFiltering(false);
    Q_EMIT closed();
}

void FindBar::setCurrent(int row)
{
    if (row == m_current) {
        showCount();
        return;
    }
    m_current = row;
    showCount();
    Q_EMIT currentMatchChanged(row);
}

void FindBar::showCount()
{
    showPatternState();
    if (m_search->text().isEmpty())
        lblCompte->clear();
    else if (!m_search->patternError().isEmpty())
        lblCompte->setText(tr("expression invalide"));
    else if (m_search->count() == 0)
        lblCompte->setText(tr("aucun résultat"));
    else
        lblCompte->setText(m_search->positionText(m_current));
}

void FindBar::showPatternState()
{
    // Restyled only on a change: this runs as rows arrive.
    const QString error = m_search->patternError();
    if (error == txtRecherche->toolTip())
        return;
    txtRecherche->setStyleSheet(error.isEmpty() ? QString()
                                                : QStringLiteral("QLineEdit { background: #ffd6d6; color: #8a0010; }"));
    txtRecherche->setToolTip(error);
}
