#ifndef DRAVLIN_ANSWERREADING_H
#define DRAVLIN_ANSWERREADING_H

#include "Dialogue.h"
#include "LineReader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>

// Follows one conversation, the recorded one or the replayed one, through the
// protocol's dialogue, and tells its answers: the greeting, each command's
// whole answer, each challenge or "+" that asks the client for more. Two
// conversations read alike are compared answer by answer.
//
// Where the dialogue is not one Dravlin knows (or stops being one it can
// follow), every server row is an answer, compared whole.
class AnswerReading
{
public:
    struct Answer {
        enum class To : quint8 { Greeting, Command, MessageEnd, Unpaired };
        To to = To::Command;
        QByteArray key;     // what answers are compared by: "250", "+OK", "OK", "+", or the whole row
        QByteArray command; // the command's row, without its line end
        bool asksMore = false; // the client goes on with what the command announced (354, 334, "+")
        bool upgrade = false;  // the answer to an upgrade command
        bool accepted = false; // it grants what was asked
        // Filled by whoever feeds the server's rows one by one: the row that
        // ended the answer, without its line end, and its place among them.
        QByteArray row;
        qsizetype rowIndex = -1;
    };

    // Bytes the client sent, in order.
    void client(QByteArrayView bytes);
    // Bytes the server sent, in order: the answers they complete.
    QList<Answer> server(QByteArrayView bytes);
    // Whether answers are whole rows: no known dialect follows this dialogue.
    bool byRows() const;

private:
    Answer answerOf(const Dialogue::Heard &heard, const Line &line);

    Dialogue m_dialogue;
    LineReader m_clientLines;
    LineReader m_serverLines;
    // Each command's row, by its serial, until answered.
    QHash<int, QByteArray> m_commands;
    QHash<int, bool> m_messageEnds;
    // The status an answer opened with, by its command's serial, until whole:
    // a POP3 listing ends with ".", yet it is its "+OK" that tells.
    QHash<int, QByteArray> m_opened;
};

#endif
