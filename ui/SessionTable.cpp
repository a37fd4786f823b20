#include "SessionTable.h"
#include "FigureText.h"

#include "SessionMarks.h"

#include "Conversation.h"
#include "EndpointText.h"
#include "EventText.h"
#include "RowText.h"
#include "Transcript.h"

#include <algorithm>

SessionTable::SessionTable(QObject *parent)
    : QAbstractTableModel(parent)
{
    m_countTimer.setSingleShot(true);
    m_countTimer.setInterval(CountIntervalMs);
    connect(&m_countTimer, &QTimer::timeout, this, &SessionTable::onCountTick);
}

int SessionTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_sessions.size());
}

int SessionTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant SessionTable::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const Session &s = m_sessions[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NumberColumn:
            return QString::number(s.number);
        case ClientColumn:
            // The address is the peer's own: shown as any text a peer chose.
            return RowText::escaped(s.client);
        case StartColumn:
            return s.startMsecs ? FigureText::clockTime(s.startMsecs).first(8) : QString();
        case StateColumn:
            // The count first: the column is narrow and the state is in the tooltip.
            return s.differences < 0 ? s.state : tr("≠ %1 · %2").arg(s.differences).arg(s.state);
        case ClientBytesColumn:
            return FigureText::count(s.bytes[0]);
        case ServerBytesColumn:
            return FigureText::count(s.bytes[1]);
        }
        return QVariant();
    case Qt::TextAlignmentRole:
        if (index.column() == NumberColumn || index.column() >= ClientBytesColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
        return tooltip(s);
    case SessionRole:
        return s.number;
    case FailedRole:
        return s.failed;
    default:
        return QVariant();
    }
}

QVariant SessionTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QVariant();
    if (role == Qt::DisplayRole) {
        const QString captions[] = {tr("N°"), tr("Client"), tr("Début"), tr("État"), tr("C → S"), tr("S → C")};
        return captions[section];
    }
    if (role == Qt::ToolTipRole) {
        const QString tips[] = {tr("Numéro de la session, dans l'ordre où les clients ont été pris"),
                                tr("Adresse et port du client"),
                                tr("Heure de la connexion du client"),
                                tr("Où en est la session, ou comment elle a fini"),
                                tr("Octets reçus du client (client → serveur)"),
                                tr("Octets reçus du serveur (serveur → client)")};
        return tips[section];
    }
    return QVariant();
}

QString SessionTable::tooltip(const Session &s)
{
    QString text = tr("Session n° %1").arg(s.number);
    if (!s.client.isEmpty())
        text += tr(" · client %1 → %2").arg(RowText::escaped(s.client), RowText::escaped(s.server));
    if (s.startMsecs)
        text += tr("\nDébut : %1").arg(FigureText::clockTime(s.startMsecs));
    text += tr("\nÉtat : %1").arg(s.state);
    if (s.differences >= 0)
        text += s.differences == 1 ? tr("\nRejeu : 1 réponse différente de l'originale")
                                   : tr("\nRejeu : %1 réponses différentes des originales").arg(s.differences);
    text += tr("\nclient → serveur %1 o · serveur → client %2 o")
                .arg(FigureText::count(s.bytes[0]), FigureText::count(s.bytes[1]));
    if (!s.lastFailure.isEmpty())
        text += tr("\nDernier échec : %1").arg(s.lastFailure);
    return text;
}

void SessionTable::setDifferences(int session, int count)
{
    Session *s = find(session);
    if (!s)
        return;
    s->differences = count;
    s->failed = s->failed || count > 0;
    const int row = rowOf(session);
    Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

SessionTable::Session *SessionTable::find(int session)
{
    const int row = rowOf(session);
    return row < 0 ? nullptr : &m_sessions[static_cast<size_t>(row)];
}

void SessionTable::onEvent(const RelayEvent &event)
{
    apply(event);
}

void SessionTable::apply(const RelayEvent &event)
{
    if (event.session <= 0)
        return;
    Session *s = find(event.session);
    if (!s) {
        // Any event may open a session: a copied part of a transcript can
        // start after a session's opening mark.
        const int row = rowCount();
        if (!m_rebuilding)
            beginInsertRows(QModelIndex(), row, row);
        Session fresh;
        fresh.number = event.session;
        fresh.startMsecs = event.time;
        fresh.state = tr("en cours");
        m_sessions.push_back(fresh);
        m_rows.insert(event.session, row);
        if (!m_rebuilding)
            endInsertRows();
        s = &m_sessions.back();
    }
    switch (event.kind) {
    case RelayEvent::Kind::ClientConnected:
        s->client = EndpointText::text(event.client);
        s->server = EndpointText::text(event.server);
        s->startMsecs = event.time;
        break;
    case RelayEvent::Kind::SessionEnded:
        s->ended = true;
        s->state = EventText::sessionEnd(event.end, event.side);
        // The relay's own totals: what was counted live may lag behind.
        s->bytes[0] = event.bytesClientToServer;
        s->bytes[1] = event.bytesServerToClient;
        s->failed = s->failed || SessionMarks::endsInFailure(event.end);
        break;
    default:
        break;
    }
    if (EventText::isFailure(event)) {
        s->failed = true;
        s->lastFailure = EventText::headline(event);
    }
    if (!m_rebuilding) {
        const int row = rowOf(event.session);
        Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1));
    }
}

void SessionTable::countBytes(int session, qint64 fromClient, qint64 fromServer)
{
    Session *s = session > 0 ? find(session) : nullptr;
    if (!s || s->ended)
        return;
    s->bytes[0] += fromClient;
    s->bytes[1] += fromServer;
    const int row = rowOf(session);
    m_firstCounted = m_firstCounted < 0 ? row : std::min(m_firstCounted, row);
    m_lastCounted = std::max(m_lastCounted, row);
    if (!m_countTimer.isActive())
        m_countTimer.start();
}

void SessionTable::onCountTick()
{
    if (m_firstCounted < 0 || m_firstCounted >= rowCount())
        return;
    const int last = std::min(m_lastCounted, rowCount() - 1);
    Q_EMIT dataChanged(index(m_firstCounted, ClientBytesColumn), index(last, ServerBytesColumn));
    m_firstCounted = m_lastCounted = -1;
}

void SessionTable::clear()
{
    beginResetModel();
    m_sessions.clear();
    m_rows.clear();
    m_firstCounted = m_lastCounted = -1;
    m_countTimer.stop();
    endResetModel();
}

void SessionTable::rebuild(const Conversation &conversation)
{
    beginResetModel();
    std::vector<Session> running;
    for (const Session &s : m_sessions) {
        if (!s.ended)
            running.push_back(s);
    }
    m_sessions.clear();
    m_rows.clear();
    m_firstCounted = m_lastCounted = -1;
    // The views hear of it all at the reset's end. Counts come from the end
    // marks, or from the rows of a session whose end was not kept.
    m_rebuilding = true;
    for (int row = 0; row < conversation.rowCount(); ++row) {
        if (conversation.isMarker(row)) {
            apply(conversation.mark(row).event);
            continue;
        }
        const int session = conversation.session(row);
        if (session <= 0)
            continue;
        if (!find(session)) {
            RelayEvent opening;
            opening.kind = RelayEvent::Kind::Stopped; // opens the session, says nothing
            opening.session = session;
            opening.time = conversation.arrivedMsecs(row);
            apply(opening);
        }
        Session &s = *find(session);
        if (!s.ended) {
            const qint64 ending = conversation.rowEnd(row) == LineCapture::RowEnd::CrLf ? 2 : 0;
            s.bytes[conversation.side(row) == Side::Client ? 0 : 1] += conversation.bytes(row).size() + ending;
        }
    }
    for (Session &s : m_sessions) {
        // What a file holds of a session that had not ended when it was written.
        if (!s.ended)
            s.state = tr("inachevée");
    }
    for (const Session &s : running) {
        if (Session *kept = find(s.number))
            *kept = s;
        else
            m_sessions.push_back(s);
    }
    std::sort(m_sessions.begin(), m_sessions.end(), [](const Session &a, const Session &b) { return a.number < b.number; });
    m_rows.clear();
    for (size_t row = 0; row < m_sessions.size(); ++row)
        m_rows.insert(m_sessions[row].number, static_cast<int>(row));
    m_rebuilding = false;
    endResetModel();
}
