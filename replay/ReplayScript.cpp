#include "ReplayScript.h"

#include "EndpointText.h"
#include "SessionMarks.h"
#include "TranscriptReader.h"

#include <QSet>

#include <algorithm>

namespace {

using Line = TranscriptReader::Line;

// A TLS record of a handshake: what a client sends first when it starts TLS.
bool startsTlsHandshake(QByteArrayView row)
{
    return row.size() >= 2 && row[0] == '\x16' && row[1] == '\x03';
}

} // namespace

bool ReplayScript::fail(Problem::Kind kind, qsizetype line)
{
    m_problem.kind = kind;
    m_problem.line = line;
    m_items.clear();
    return false;
}

bool ReplayScript::pickSession(const TranscriptReader &reader, int asked)
{
    QSet<int> numbers;
    int begins = 0;
    for (const Line &line : reader.lines()) {
        numbers.insert(line.session);
        if (line.kind == Line::Kind::Marker && line.session == 0
            && reader.mark(line).event.kind == RelayEvent::Kind::ClientConnected)
            ++begins;
    }
    numbers.remove(0);
    m_problem.sessions = QList<int>(numbers.begin(), numbers.end());
    std::sort(m_problem.sessions.begin(), m_problem.sessions.end());
    if (m_problem.sessions.isEmpty()) {
        // One client at a time, written without numbers: one session is all
        // a replay can tell apart.
        if (asked != 0)
            return fail(Problem::Kind::NumberNotInFile);
        if (begins > 1) {
            m_problem.count = begins;
            return fail(Problem::Kind::SessionsUnnumbered);
        }
        m_session = 0;
        return true;
    }
    if (asked == 0 && m_problem.sessions.size() > 1)
        return fail(Problem::Kind::SessionNeeded);
    if (asked != 0 && !numbers.contains(asked))
        return fail(Problem::Kind::SessionAbsent);
    m_session = asked != 0 ? asked : m_problem.sessions.constFirst();
    return true;
}

bool ReplayScript::load(const TranscriptReader &reader, int session)
{
    m_problem = Problem{};
    m_items.clear();
    m_tls = Tls::None;
    m_upgrade = RelayEvent::Upgrade::None;
    m_server.clear();
    m_port = 0;
    if (!pickSession(reader, session))
        return false;
    qsizetype lineNumber = 0;
    bool rows = false;
    bool tlsStarted = false;
    for (const Line &line : reader.lines()) {
        // A row cut at the capture's size is one line with the rest of it.
        if (line.end != LineCapture::RowEnd::Cut)
            ++lineNumber;
        if (line.session != m_session)
            continue;
        const qsizetype fileLine = lineNumber + (line.end == LineCapture::RowEnd::Cut);
        if (line.kind == Line::Kind::Row) {
            const QByteArrayView bytes = reader.bytes(line);
            if (!line.encrypted && line.side == Side::Client && m_tls == Tls::None && startsTlsHandshake(bytes))
                return fail(Problem::Kind::TlsUninspected, fileLine);
            // An upgrade's TLS starts before the first row it carried,
            // whichever side's handshake was told first.
            if (line.encrypted && m_tls == Tls::Upgrade && !tlsStarted) {
                m_items.push_back(Item{Item::Kind::TlsStart, Side::Server, QByteArray(), fileLine});
                tlsStarted = true;
            }
            Item item{Item::Kind::Row, line.side, bytes.toByteArray(), fileLine};
            if (line.end == LineCapture::RowEnd::CrLf)
                item.bytes.append("\r\n");
            m_items.push_back(std::move(item));
            rows = true;
            continue;
        }
        const RelayEvent &event = reader.mark(line).event;
        if (event.kind == RelayEvent::Kind::ClientConnected && m_server.isEmpty()) {
            m_server = EndpointText::text(event.server);
            m_port = event.server.port;
        } else if (event.kind == RelayEvent::Kind::TlsEstablished && m_tls == Tls::None) {
            m_upgrade = event.upgrade;
            switch (event.upgrade) {
            case RelayEvent::Upgrade::Implicit:
            case RelayEvent::Upgrade::Bridge:
                m_tls = Tls::Implicit;
                break;
            case RelayEvent::Upgrade::Smtp:
            case RelayEvent::Upgrade::Pop3:
            case RelayEvent::Upgrade::Imap:
            case RelayEvent::Upgrade::Ftp:
                m_tls = Tls::Upgrade;
                break;
            case RelayEvent::Upgrade::None:
                return fail(Problem::Kind::TlsUnknown, fileLine);
            }
        } else if (event.kind == RelayEvent::Kind::SessionEnded && rows) {
            break;
        }
    }
    if (!rows)
        return fail(Problem::Kind::NoSession);
    return true;
}
