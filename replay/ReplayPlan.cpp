#include "ReplayPlan.h"

#include "ReplayScript.h"

ReplayPlan::ReplayPlan(const ReplayScript &script)
{
    AnswerReading reading;
    // The first step sends nothing: it waits for the greeting.
    m_steps.emplace_back();
    bool heardSince = true; // a server row came since the last client row
    for (const ReplayScript::Item &item : script.items()) {
        if (item.kind == ReplayScript::Item::Kind::TlsStart) {
            m_steps.emplace_back();
            m_steps.back().tlsFirst = true;
            heardSince = false;
            continue;
        }
        if (item.side == Side::Client) {
            // Rows sent with no answer between them go together, as they went.
            if (heardSince && !(m_steps.back().tlsFirst && m_steps.back().bytes.isEmpty()))
                m_steps.emplace_back();
            m_steps.back().bytes.append(item.bytes);
            reading.client(item.bytes);
            heardSince = false;
            continue;
        }
        Step &step = m_steps.back();
        for (AnswerReading::Answer answer : reading.server(item.bytes)) {
            answer.row = item.bytes.endsWith("\r\n") ? item.bytes.chopped(2) : item.bytes;
            step.answers.append(std::move(answer));
        }
        ++step.serverRows;
        heardSince = true;
    }
    m_byRows = reading.byRows();
}
