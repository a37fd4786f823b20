#include "ReplayController.h"
#include "ConversationTranscript.h"
#include "FigureText.h"

#include "Conversation.h"
#include "EndpointText.h"
#include "ReplayScript.h"
#include "ReplayServerDialog.h"
#include "ReplaySession.h"
#include "ReplayText.h"
#include "RowText.h"
#include "SessionMarks.h"
#include "SessionTable.h"
#include "Transcript.h"
#include "TranscriptReader.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDate>
#include <QWidget>

#include <memory>

ReplayController::ReplayController(Conversation *conversation, SessionTable *sessions, Numbers numbers, QWidget *window)
    : QObject(window)
    , m_conversation(conversation)
    , m_sessions(sessions)
    , m_numbers(std::move(numbers))
    , m_window(window)
    , m_replayAction(new QAction(tr("Re&jouer la session…"), this))
    , m_stopAction(new QAction(tr("Arrêter &le rejeu"), this))
{
    m_replayAction->setObjectName(QStringLiteral("actRejouer"));
    m_replayAction->setToolTip(tr("Rejouer une session finie contre un serveur et marquer les réponses qui diffèrent"));
    m_stopAction->setObjectName(QStringLiteral("actArreterRejeu"));
    connect(m_replayAction, &QAction::triggered, this, [this] { chooseAndReplay(m_currentRow ? m_currentRow() : -1); });
    connect(m_stopAction, &QAction::triggered, this, &ReplayController::stop);
    // Rows cleared move the held ones: a difference found later has no row left to mark.
    connect(m_conversation, &Conversation::rowsCleared, this, [this] { m_rowsKept = false; });
    // So does a conversation opened meanwhile; setDifference() then finds the
    // row is not the replay's and leaves it.
    updateActions();
}

ReplayController::~ReplayController()
{
    // Quietly: the window and its models are going.
    if (m_session) {
        m_session->disconnect(this);
        delete m_session;
    }
}

void ReplayController::attach(const QList<QAbstractItemView *> &panes, QWidget *sessionList)
{
    for (QAbstractItemView *pane : panes)
        pane->addActions({m_replayAction, m_stopAction});
    sessionList->addActions({m_replayAction, m_stopAction});
    sessionList->setContextMenuPolicy(Qt::ActionsContextMenu);
    setCurrentRow([this, panes] {
        for (const QAbstractItemView *pane : panes) {
            if (pane->currentIndex().isValid())
                return pane->currentIndex().row();
        }
        // A session chosen in the list is shown alone: its first row stands for it.
        return m_conversation->shownSession() != 0 && m_conversation->rowCount() > 0 ? 0 : -1;
    });
}

void ReplayController::updateActions()
{
    m_replayAction->setEnabled(!isRunning());
    m_stopAction->setEnabled(isRunning());
}

bool ReplayController::loadScript(int row, ReplayScript *script, QString *error, qint64 *began) const
{
    const Conversation &c = *m_conversation;
    if (row < 0 || row >= c.rowCount()) {
        *error = tr("Choisissez une ligne de la session à rejouer.");
        return false;
    }
    const auto isMark = [&c](int r, RelayEvent::Kind kind) { return c.isMarker(r) && c.mark(r).event.kind == kind; };
    const int session = c.session(row);
    // The session's rows, in runs of rows shown one after another.
    std::vector<std::pair<int, int>> runs;
    if (session != 0) {
        for (int r = 0; r < c.rowCount(); ++r) {
            if (c.session(r) != session)
                continue;
            if (!runs.empty() && runs.back().first + runs.back().second == r)
                ++runs.back().second;
            else
                runs.emplace_back(r, 1);
        }
    } else {
        // One client at a time: the session runs from its opening mark to its end.
        int first = row;
        while (first > 0 && !isMark(first, RelayEvent::Kind::ClientConnected))
            --first;
        int last = row;
        while (last + 1 < c.rowCount() && !isMark(last, RelayEvent::Kind::SessionEnded)
               && !isMark(last + 1, RelayEvent::Kind::ClientConnected))
            ++last;
        runs.emplace_back(first, last - first + 1);
    }
    bool ended = false;
    QByteArray text;
    for (const auto &[first, count] : runs) {
        text += ConversationTranscript::lines(c, first, count);
        for (int r = first; r < first + count && !ended; ++r)
            ended = isMark(r, RelayEvent::Kind::SessionEnded);
    }
    if (began)
        *began = isMark(runs.front().first, RelayEvent::Kind::ClientConnected) ? c.mark(runs.front().first).event.time : 0;
    if (!ended) {
        *error = tr("Cette session n'est pas finie : elle pourra être rejouée une fois terminée.");
        return false;
    }
    TranscriptReader reader;
    if (!reader.parse(text, QDate::currentDate())) {
        *error = tr("Cette session ne peut pas être relue : %1").arg(reader.errorString());
        return false;
    }
    if (script->load(reader, session))
        return true;
    using Kind = ReplayScript::Problem::Kind;
    switch (script->problem().kind) {
    case Kind::TlsUninspected:
        *error = tr("Le TLS de cette session est passé sans être déchiffré : ce qu'il portait n'est pas connu et ne "
                    "peut pas être rejoué. Enregistrez-la avec l'inspection TLS.");
        break;
    case Kind::NoSession:
        *error = tr("Cette session n'a aucune ligne à rejouer.");
        break;
    default:
        *error = tr("Cette session ne peut pas être rejouée : sa façon de passer en TLS n'est pas connue.");
        break;
    }
    return false;
}

void ReplayController::chooseAndReplay(int row)
{
    if (isRunning())
        return;
    auto script = std::make_unique<ReplayScript>();
    QString error;
    if (!loadScript(row, script.get(), &error)) {
        Q_EMIT failed(error);
        return;
    }
    const int session = m_conversation->session(row);
    // Opened, not exec()'d: the relay and any replay go on meanwhile.
    auto *dialog = new ReplayServerDialog(session, script->recordedServer(), m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The row may be gone once the dialog closes: the session's number and a
    // row of it are found again then.
    connect(dialog, &QDialog::accepted, this, [this, dialog, session, row] {
        QString host;
        quint16 port = 0;
        QString error;
        ReplayServerDialog::parse(dialog->serverText(), &host, &port, &error);
        int at = row;
        if (at >= m_conversation->rowCount() || m_conversation->session(at) != session) {
            at = -1;
            for (int r = 0; r < m_conversation->rowCount() && at < 0; ++r)
                at = m_conversation->session(r) == session ? r : -1;
        }
        if (replay(at, host, port, dialog->insecure(), &error) == 0)
            Q_EMIT failed(error);
    });
    dialog->open();
}

int ReplayController::replay(int row, const QString &host, quint16 port, bool insecure, QString *error)
{
    if (isRunning()) {
        *error = tr("Un rejeu est déjà en cours : arrêtez-le d'abord.");
        return 0;
    }
    auto script = std::make_shared<ReplayScript>();
    if (!loadScript(row, script.get(), error, &m_originalBegan))
        return 0;
    ReplaySession::Target target;
    target.host = host;
    target.port = port != 0 ? port : script->recordedPort() != 0 ? script->recordedPort() : 25;
    target.insecure = insecure;
    int highest = 0;
    for (int r = 0; r < m_sessions->rowCount(); ++r)
        highest = std::max(highest, m_sessions->index(r, 0).data(SessionTable::SessionRole).toInt());
    m_number = m_numbers(highest + 1);
    m_original = script->session();
    m_server = EndpointText::hostPort(target.host, target.port);
    m_encrypted = script->tls() == ReplayScript::Tls::Implicit;
    m_began = false;
    m_rowsKept = true;
    m_serverRows.clear();
    m_session = new ReplaySession(*script, target, this);
    // The script lives as long as the session reading it.
    connect(m_session, &QObject::destroyed, m_session, [script] {});
    connect(m_session, &ReplaySession::rows, this, &ReplayController::onRows);
    connect(m_session, &ReplaySession::markOccurred, this, &ReplayController::onMark);
    connect(m_session, &ReplaySession::notice, this, &ReplayController::onNotice);
    // Queued: a server that cannot be reached may end the replay at once.
    connect(m_session, &ReplaySession::finished, this, &ReplayController::onFinished, Qt::QueuedConnection);
    updateActions();
    m_session->start();
    return m_number;
}

void ReplayController::stop()
{
    if (m_session)
        m_session->stop();
}

void ReplayController::onRows(Side side, const LineCapture::Rows &rows, qint64 msecs)
{
    // Rows the relay stored meanwhile may come before them: the first is told.
    const int held = m_conversation->appendRows(side, rows, msecs, m_encrypted, m_number);
    if (side == Side::Server) {
        for (int i = 0; i < rows.count(); ++i)
            m_serverRows.push_back(m_rowsKept ? held + i : -1);
    }
}

void ReplayController::onMark(const RelayEvent &event)
{
    RelayEvent named = event;
    named.session = m_number;
    // The opening mark says which session this one plays again.
    // Unnumbered, one client at a time: the session is told by when it began.
    named.client.name = m_original > 0      ? tr("rejeu de la session n° %1").arg(m_original)
                        : m_originalBegan > 0 ? tr("rejeu de la session de %1").arg(FigureText::clockTime(m_originalBegan))
                                              : tr("rejeu de la session");
    named.client.address.clear();
    named.client.port = 0;
    if (event.kind == RelayEvent::Kind::ClientConnected) {
        m_began = true;
        m_sessions->onEvent(named);
        m_sessions->setDifferences(m_number, 0);
    } else {
        m_sessions->onEvent(named);
    }
    if (event.kind == RelayEvent::Kind::TlsEstablished)
        m_encrypted = true;
    if (SessionMarks::leavesMark(named))
        m_conversation->appendMark(named);
}

void ReplayController::onNotice(const ReplayNotice &notice)
{
    const QString text = ReplayText::notice(notice, m_server);
    if (notice.kind != ReplayNotice::Kind::Difference) {
        if (m_began)
            Q_EMIT noticed(text, m_number);
        else
            Q_EMIT failed(tr("Rejeu impossible : %1").arg(text));
        return;
    }
    m_sessions->setDifferences(m_number, m_session->differences());
    // On the row that ended the answer received; when none came, on the last the server sent.
    int held = -1;
    if (notice.gotRow >= 0 && size_t(notice.gotRow) < m_serverRows.size())
        held = m_serverRows[size_t(notice.gotRow)];
    else if (!m_serverRows.empty())
        held = m_serverRows.back();
    const QString original = notice.expected.row.isEmpty() ? RowText::escaped(QString::fromUtf8(notice.expected.key))
                                                           : RowText::escaped(QString::fromUtf8(notice.expected.row));
    if (held >= 0)
        m_conversation->setDifference(held, m_number, tr("« %1 »\n(%2)").arg(original, text));
}

void ReplayController::onFinished()
{
    if (!m_session)
        return;
    if (m_began)
        m_sessions->setDifferences(m_number, m_session->differences());
    const int number = m_number;
    m_session->disconnect(this);
    m_session->deleteLater();
    m_session = nullptr;
    updateActions();
    Q_EMIT finished(number);
}
