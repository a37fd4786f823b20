#ifndef DRAVLIN_REPLAYTEXT_H
#define DRAVLIN_REPLAYTEXT_H

#include "ReplayNotice.h"
#include "ReplayScript.h"

#include <QCoreApplication>
#include <QString>

// The French wording of a replay: what differs, why it stopped, why a file
// cannot be replayed, and its summary. Commands and answers a peer chose
// come escaped, safe on a terminal.
class ReplayText
{
    Q_DECLARE_TR_FUNCTIONS(ReplayText)

public:
    // "réponse différente à « RCPT TO:<b@example.org> » : attendu 250, reçu 550".
    static QString notice(const ReplayNotice &notice, const QString &server);
    // "rejeu : 12 réponses, 1 différente".
    static QString summary(int answers, int differences);
    // Why the file cannot be replayed, naming it (and the line when one is at fault).
    static QString problem(const ReplayScript::Problem &problem, const QString &path);
    // The file could not be read as a transcript; reason names the line.
    static QString unreadable(const QString &path, const QString &reason);
    // Who the replay's opening mark names as the client.
    static QString clientName();

private:
    static QString answerTo(const AnswerReading::Answer &answer);
    static QString key(const AnswerReading::Answer &answer, const QByteArray &key);
    static QString stop(const ReplayNotice &notice, const QString &server);
};

#endif
