#ifndef DRAVLIN_REPLAYSCRIPT_H
#define DRAVLIN_REPLAYSCRIPT_H

#include "LineCapture.h"
#include "RelayEvent.h"
#include "Side.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <vector>

class TranscriptReader;

// One session of a transcript, as a replay needs it: its rows in order, with
// the bytes each one was, where its TLS began and how, and the server it
// spoke to. Picked out of the lines the reader gives, by the session's number.
class ReplayScript
{
public:
    // How the recorded session used TLS towards its server.
    enum class Tls : quint8 { None, Upgrade, Implicit };

    struct Item {
        enum class Kind : quint8 { Row, TlsStart };
        Kind kind = Kind::Row;
        Side side = Side::Client;
        QByteArray bytes; // the row with its line end, as it crossed
        qsizetype line = 0; // in the file
    };

    // Why a transcript cannot be replayed, as data for the wording.
    struct Problem {
        enum class Kind : quint8 {
            None,
            NoSession,           // no row at all
            SessionsUnnumbered,  // several sessions one after another, without numbers
            SessionNeeded,       // several numbered sessions and no --session
            SessionAbsent,       // --session names one the file does not hold
            NumberNotInFile,     // --session given to a file without numbers
            TlsUninspected,      // TLS went through unread: nothing past it is known
            TlsUnknown,          // a TLS mark whose way of starting cannot be read
        };
        Kind kind = Kind::None;
        QList<int> sessions; // the numbers the file holds
        int count = 0;       // SessionsUnnumbered: how many
        qsizetype line = 0;  // TlsUninspected, TlsUnknown
    };

    // session: the number asked for, 0 for none. False with problem() set.
    bool load(const TranscriptReader &reader, int session);

    const Problem &problem() const { return m_problem; }
    const std::vector<Item> &items() const { return m_items; }
    Tls tls() const { return m_tls; }
    RelayEvent::Upgrade upgrade() const { return m_upgrade; }
    // The server of the session's opening mark ("mx.example.org:25"), and its port (0 if none).
    QString recordedServer() const { return m_server; }
    quint16 recordedPort() const { return m_port; }
    int session() const { return m_session; }

private:
    bool fail(Problem::Kind kind, qsizetype line = 0);
    bool pickSession(const TranscriptReader &reader, int asked);

    Problem m_problem;
    std::vector<Item> m_items;
    Tls m_tls = Tls::None;
    RelayEvent::Upgrade m_upgrade = RelayEvent::Upgrade::None;
    QString m_server;
    quint16 m_port = 0;
    int m_session = 0;
};

#endif
