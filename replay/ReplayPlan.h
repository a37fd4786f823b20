#ifndef DRAVLIN_REPLAYPLAN_H
#define DRAVLIN_REPLAYPLAN_H

#include "AnswerReading.h"

#include <QByteArray>
#include <QList>

#include <vector>

class ReplayScript;

// A recorded session cut into what a replay does in turn: send what the
// client sent together (nothing for the greeting, a pipelined group of
// commands at once, a message body), then wait for the answers the server
// gave before the client went on, read by the protocol's dialogue.
class ReplayPlan
{
public:
    struct Step {
        bool tlsFirst = false; // the upgrade's handshake comes before this step's bytes
        QByteArray bytes;      // what the client sent, rows with their line ends
        QList<AnswerReading::Answer> answers; // as recorded
        qsizetype serverRows = 0; // rows the server sent meanwhile
    };

    explicit ReplayPlan(const ReplayScript &script);

    const std::vector<Step> &steps() const { return m_steps; }
    // Whether the dialogue was read as rows (a protocol Dravlin does not know).
    bool byRows() const { return m_byRows; }

private:
    std::vector<Step> m_steps;
    bool m_byRows = false;
};

#endif
