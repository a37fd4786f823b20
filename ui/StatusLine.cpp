#include "StatusLine.h"
#include "FigureText.h"

#include "EventHistoryDialog.h"
#include "EventText.h"
#include "Transcript.h"
#include "WordElidedLabel.h"

#include <QEvent>
#include <QLabel>
#include <QStatusBar>
#include <QTime>

#include <utility>

namespace {

// Four repaints a second at most, however fast bytes pass.
constexpr int CountIntervalMs = 250;

// Counts as everywhere else: French grouping, 0 and 1 in the singular.
QString rowCountText(int count, const QString &one, const QString &many)
{
    return (count < 2 ? one : many).arg(FigureText::count(count));
}

QString stamped(const QString &text)
{
    return QStringLiteral("%1  %2").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), text);
}

} // namespace

StatusLine::StatusLine(QStatusBar *bar)
    : QObject(bar)
    , m_bar(bar)
    , lblEvenement(new WordElidedLabel)
    , lblEchec(new WordElidedLabel)
    , lblDebit(new QLabel)
    , lblEffacement(new QLabel)
{
    // File names are named by anyone: never markup.
    for (QLabel *label : {lblDebit, lblEffacement})
        label->setTextFormat(Qt::PlainText);
    const QString historyHint = tr("Historique des événements (Ctrl+H)");
    lblEvenement->setObjectName(QStringLiteral("lblEvenement"));
    lblEvenement->setCursor(Qt::PointingHandCursor);
    lblEvenement->setHint(historyHint);
    lblEvenement->setFullText(tr("Prêt : cliquez sur « Ecouter » pour démarrer le relais."));
    lblEchec->setObjectName(QStringLiteral("lblEchec"));
    lblEchec->setCursor(Qt::PointingHandCursor);
    lblEchec->setHint(historyHint);
    lblEchec->setStyleSheet(QStringLiteral("QLabel { background: #ffd6d6; color: #8a0010; padding: 0 6px; }"));
    lblEchec->hide();
    lblDebit->setObjectName(QStringLiteral("lblDebit"));
    lblDebit->hide();
    lblEffacement->setObjectName(QStringLiteral("lblEffacement"));
    lblEffacement->setCursor(Qt::PointingHandCursor);
    lblEffacement->setToolTip(tr("Rétablir les lignes effacées (Ctrl+Z)"));
    lblEffacement->hide();
    bar->addWidget(lblEchec);
    bar->addWidget(lblEvenement, 1);
    bar->addPermanentWidget(lblDebit);
    bar->addPermanentWidget(lblEffacement);
    want(lblEvenement, true);
    bar->installEventFilter(this);
    m_countTimer.setInterval(CountIntervalMs);
    connect(&m_countTimer, &QTimer::timeout, this, &StatusLine::showCounts);
}

QString StatusLine::record(const RelayEvent &event)
{
    const EventHistory::Entry &kept = m_history.append(event);
    followSession(event);
    const bool costOfFailure = event.kind == RelayEvent::Kind::Undelivered
        && (event.end == RelayEvent::End::ServerUnreachable || event.end == RelayEvent::End::TlsFailed);
    const QString headline = EventHistory::numbered(event.session, EventText::headline(event));
    if (!kept.failure)
        show(kept.text);
    else if (costOfFailure && wants(lblEchec) && m_failureSession == event.session)
        // The bytes a failure still in view cost: said beside its cause, which stays first.
        lblEchec->setFullText(tr("%1 ; %2").arg(lblEchec->fullText(), EventText::headline(event)));
    else
        // Its cause already seen, or another session's failure in view: the loss is said whole.
        showFailure(costOfFailure ? kept.text : headline, event.session);
    return kept.text;
}

void StatusLine::record(qint64 msecs, const QString &text, bool failure)
{
    m_history.append(msecs, text, failure);
    if (failure)
        showFailure(text);
    else
        show(text);
}

void StatusLine::show(const QString &text)
{
    lblEvenement->setFullText(stamped(text));
}

void StatusLine::showFailure(const QString &text, int session)
{
    m_failureSession = session;
    // The failure is the last event: said once, in red.
    lblEchec->setFullText(stamped(text));
    want(lblEchec, true);
    lblEvenement->setFullText(QString());
}

void StatusLine::followSession(const RelayEvent &event)
{
    switch (event.kind) {
    case RelayEvent::Kind::ClientConnected:
        m_running.insert(event.session, {0, 0});
        m_countsChanged = true;
        showCounts();
        want(lblDebit, true);
        m_countTimer.start();
        break;
    case RelayEvent::Kind::SessionEnded:
    case RelayEvent::Kind::Stopped:
        // The session's end says its totals.
        if (event.kind == RelayEvent::Kind::Stopped)
            m_running.clear();
        else
            m_running.remove(event.session);
        m_countsChanged = true;
        if (!m_running.isEmpty())
            break;
        m_countTimer.stop();
        want(lblDebit, false);
        break;
    default:
        break;
    }
}

void StatusLine::countBytes(int session, qint64 fromClient, qint64 fromServer)
{
    const auto running = m_running.find(session);
    if (running == m_running.end())
        return;
    (*running)[0] += fromClient;
    (*running)[1] += fromServer;
    m_countsChanged = true;
}

void StatusLine::showCounts()
{
    if (!m_countsChanged)
        return;
    m_countsChanged = false;
    qint64 client = 0;
    qint64 server = 0;
    for (const auto &counts : std::as_const(m_running)) {
        client += counts[0];
        server += counts[1];
    }
    const QString counts = tr("client → serveur %1 o · serveur → client %2 o")
                               .arg(FigureText::count(client), FigureText::count(server));
    // Several sessions at once: their sum, saying how many.
    const bool several = m_running.size() > 1;
    lblDebit->setText(several ? tr("%1 sessions · %2").arg(m_running.size()).arg(counts) : counts);
    lblDebit->setToolTip(several ? tr("Octets relayés dans chaque sens, ensemble, par les sessions en cours")
                                 : tr("Octets relayés dans chaque sens pendant la session en cours"));
}

void StatusLine::showHistory()
{
    if (!m_historyDialog) {
        m_historyDialog = new EventHistoryDialog(&m_history, lblEvenement->window());
        m_historyDialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_historyDialog, &EventHistoryDialog::eventChosen, this, &StatusLine::eventChosen);
    }
    m_historyDialog->show();
    m_historyDialog->raise();
    m_historyDialog->activateWindow();
}

void StatusLine::showOpened(const QString &fileName, int rows)
{
    lblEvenement->setFullText(rowCountText(rows, tr("« %2 » ouverte : %1 ligne, lecture seule jusqu'au prochain « Ecouter »"),
                      tr("« %2 » ouverte : %1 lignes, lecture seule jusqu'au prochain « Ecouter »"))
             .arg(fileName));
}

void StatusLine::showCleared(int rows)
{
    lblEffacement->setText(rowCountText(rows, tr("%1 ligne effacée — Ctrl+Z pour la rétablir"),
                                        tr("%1 lignes effacées — Ctrl+Z pour les rétablir")));
    want(lblEffacement, true);
}

void StatusLine::showRestored(int rows)
{
    want(lblEffacement, false);
    lblEvenement->setFullText(rowCountText(rows, tr("%1 ligne rétablie"), tr("%1 lignes rétablies")));
}

void StatusLine::onUserActed(QObject *target)
{
    // A click on the failure itself still opens the history, though the failure goes.
    // Queued: the click is still on its way to the label.
    if (target == lblEffacement)
        Q_EMIT undoRequested();
    else if (target == lblEvenement || target == lblEchec)
        QMetaObject::invokeMethod(this, &StatusLine::showHistory, Qt::QueuedConnection);
    // Seen, the failure that was the last event stays as the last event.
    if (wants(lblEchec) && lblEvenement->fullText().isEmpty())
        lblEvenement->setFullText(lblEchec->fullText());
    want(lblEchec, false);
}

bool StatusLine::eventFilter(QObject *watched, QEvent *event)
{
    // A part's text changed (its size with it) or the line's width did.
    if (watched == m_bar && (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize))
        fitParts();
    return QObject::eventFilter(watched, event);
}

void StatusLine::want(QWidget *part, bool wanted)
{
    if (wanted)
        m_wanted.insert(part);
    else
        m_wanted.remove(part);
    fitParts();
}

void StatusLine::fitParts()
{
    // By rank; the failure is shown whatever the room. The size grip and
    // the spacing between parts are taken in round figures.
    constexpr int Grip = 24;
    constexpr int Gap = 10;
    int room = m_bar->contentsRect().width() - Grip;
    const std::pair<QWidget *, int> parts[] = {{lblEchec, lblEchec->leastWidth()},
                                               {lblEvenement, lblEvenement->leastWidth()},
                                               {lblEffacement, lblEffacement->sizeHint().width()},
                                               {lblDebit, lblDebit->sizeHint().width()}};
    for (const auto &[part, least] : parts) {
        const bool shown = wants(part) && (part == lblEchec || least + Gap <= room);
        if (shown)
            room -= least + Gap;
        if (part->isVisibleTo(m_bar) != shown)
            part->setVisible(shown);
    }
}
