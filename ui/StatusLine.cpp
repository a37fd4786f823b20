#include "StatusLine.h"

#include "EventHistoryDialog.h"

#include <QLabel>
#include <QLocale>
#include <QStatusBar>
#include <QTime>

namespace {

QString rowCountText(int count, const QString &one, const QString &many)
{
    return (count == 1 ? one : many).arg(QLocale(QLocale::French).toString(count));
}

} // namespace

StatusLine::StatusLine(QStatusBar *bar)
    : QObject(bar)
    , lblEvenement(new QLabel(QStringLiteral("Prêt : cliquez sur « Ecouter » pour démarrer le relais.")))
    , lblEchec(new QLabel)
    , lblEffacement(new QLabel)
{
    // Events name what peers chose, and files are named by anyone: never markup.
    for (QLabel *label : {lblEvenement, lblEchec, lblEffacement})
        label->setTextFormat(Qt::PlainText);
    lblEvenement->setObjectName(QStringLiteral("lblEvenement"));
    lblEvenement->setCursor(Qt::PointingHandCursor);
    lblEvenement->setToolTip(QStringLiteral("Historique des événements (Ctrl+H)"));
    lblEchec->setObjectName(QStringLiteral("lblEchec"));
    lblEchec->setCursor(Qt::PointingHandCursor);
    lblEchec->setToolTip(lblEvenement->toolTip());
    lblEchec->setStyleSheet(QStringLiteral("QLabel { background: #ffd6d6; color: #8a0010; padding: 0 6px; }"));
    lblEchec->hide();
    lblEffacement->setObjectName(QStringLiteral("lblEffacement"));
    lblEffacement->setCursor(Qt::PointingHandCursor);
    lblEffacement->setToolTip(QStringLiteral("Rétablir les lignes effacées (Ctrl+Z)"));
    lblEffacement->hide();
    bar->addWidget(lblEchec);
    bar->addWidget(lblEvenement, 1);
    bar->addPermanentWidget(lblEffacement);
}

QString StatusLine::record(const RelayEvent &event)
{
    const EventHistory::Entry &kept = m_history.append(event);
    show(kept.text, kept.failure);
    return kept.text;
}

void StatusLine::record(qint64 msecs, const QString &text, bool failure)
{
    m_history.append(msecs, text, failure);
    show(text, failure);
}

void StatusLine::show(const QString &text, bool failure)
{
    const QString line = QStringLiteral("%1  %2").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), text);
    lblEvenement->setText(line);
    if (failure) {
        lblEchec->setText(line);
        lblEchec->show();
    }
}

void StatusLine::showHistory()
{
    if (!m_historyDialog) {
        m_historyDialog = new EventHistoryDialog(&m_history, lblEvenement->window());
        m_historyDialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_historyDialog->show();
    m_historyDialog->raise();
    m_historyDialog->activateWindow();
}

void StatusLine::showOpened(const QString &fileName, int rows)
{
    lblEvenement->setText(rowCountText(rows, QStringLiteral("« %2 » ouverte : %1 ligne, lecture seule jusqu'au prochain « Ecouter »"),
                                       QStringLiteral("« %2 » ouverte : %1 lignes, lecture seule jusqu'au prochain « Ecouter »"))
                              .arg(fileName));
}

void StatusLine::showCleared(int rows)
{
    lblEffacement->setText(rowCountText(rows, QStringLiteral("%1 ligne effacée — Ctrl+Z pour la rétablir"),
                                        QStringLiteral("%1 lignes effacées — Ctrl+Z pour les rétablir")));
    lblEffacement->show();
}

void StatusLine::showRestored(int rows)
{
    lblEffacement->hide();
    lblEvenement->setText(rowCountText(rows, QStringLiteral("%1 ligne rétablie"), QStringLiteral("%1 lignes rétablies")));
}

void StatusLine::onUserActed(QObject *target)
{
    // A click on the failure itself still opens the history, though the failure goes.
    // Queued: the click is still on its way to the label.
    if (target == lblEffacement)
        Q_EMIT undoRequested();
    else if (target == lblEvenement || target == lblEchec)
        QMetaObject::invokeMethod(this, &StatusLine::showHistory, Qt::QueuedConnection);
    lblEchec->hide();
}
