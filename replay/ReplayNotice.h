#ifndef DRAVLIN_REPLAYNOTICE_H
#define DRAVLIN_REPLAYNOTICE_H

#include "AnswerReading.h"
#include "FailureCause.h"

#include <QByteArray>
#include <QString>

// Something a replay has to tell besides the rows, as data: ReplayText words it.
struct ReplayNotice
{
    enum class Kind : quint8 {
        Difference,   // expected, got: an answer that is not the recorded one
        NotSent,      // expected (the answer that asked for them), rows: what followed it, left unsent
        Stopped,      // stop, expected (the answer waited for, if any): the replay cannot go on
        Unverified,   // fingerprint: the server's certificate, taken unchecked
    };
    enum class Stop : quint8 {
        None,
        Timeout,        // seconds
        Closed,         // the server ended the connection
        Reset,          // reason
        Unreachable,    // cause, reason
        TlsFailed,      // cause
        UpgradeRefused, // the server did not grant the upgrade the recording went through
    };

    Kind kind = Kind::Difference;
    Stop stop = Stop::None;
    AnswerReading::Answer expected;
    bool waiting = false; // Stopped: while waiting for expected
    QByteArray got;       // Difference: the key received; empty when nothing came
    qsizetype gotRow = -1; // Difference: the server row (from 0) that ended the answer received, -1 for none
    qsizetype rows = 0;
    int seconds = 0;
    QString reason;
    FailureCause cause;
    QString fingerprint;
};

#endif
