#ifndef DRAVLIN_DIALOGUETRACE_H
#define DRAVLIN_DIALOGUETRACE_H

#include "Dialogue.h"

#include <QList>

// What a Dialogue made of a script, one word a line, for the dialects' tables.
// Script: lines without their line end, "C..." the client's, "S..." the server's.
// Client: "c<n><kind>" command n (P plain, U upgrade, D DATA, L listing,
//   Z compress, X close), "-" no command, "r" a command's rest, "b" a message
//   line, "e<n>" its end; "a<MECH>" a login.
// Server: "<n>:<status>" answering command n ("-": none), "g" greeting,
//   "!" the answer is whole, "*" it grants what was asked, "R" untagged BAD,
//   "?<base64>" a challenge.
// Either: ">n" ("<n") client (server) bytes of data now due; "misfit" once
// nothing fits; "over" once the dialogue ended.
inline QByteArray dialogueTrace(const QList<QByteArray> &script, const Dialect *dialect = nullptr)
{
    Dialogue dialogue(dialect);
    QList<QByteArray> words;
    for (const QByteArray &row : script) {
        const Line line = Line::of(row.sliced(1));
        QByteArray word;
        QByteArray base64;
        if (row.startsWith('C')) {
            const Dialogue::Sent sent = dialogue.clientLine(line);
            using Part = Dialogue::Sent::Part;
            if (sent.part == Part::Body)
                word = "b";
            else if (sent.part == Part::BodyEnd)
                word = "e" + QByteArray::number(sent.command);
            else if (sent.part == Part::Ignored)
                word = "-";
            else if (sent.part == Part::Rest)
                word = "r";
            else
                word = "c" + QByteArray::number(sent.command) + "PUDLZX"[int(sent.meaning.kind) - 1];
            if (const LoginStart login = dialogue.dialect().login(line.text()); !login.mechanism.isEmpty())
                word += "a" + login.mechanism;
        } else {
            const Dialogue::Heard heard = dialogue.serverLine(line);
            if (heard.greeting)
                word = "g";
            else
                word = (heard.command < 0 ? QByteArray("-") : QByteArray::number(heard.command)) + ':' + heard.answer.status;
            word += QByteArray(heard.complete ? "!" : "") + (heard.accepted ? "*" : "") + (heard.rejectsUnread ? "R" : "");
            if (dialogue.dialect().challenge(line.text(), &base64) && !heard.greeting)
                word += "?" + base64;
        }
        if (const qsizetype n = dialogue.takeClientData())
            word += ">" + QByteArray::number(n);
        if (const qsizetype n = dialogue.takeServerData())
            word += "<" + QByteArray::number(n);
        words.append(dialogue.misfit() == Dialogue::Misfit::None ? word : "misfit");
        if (dialogue.isOver())
            words.append("over");
    }
    return words.join(' ');
}

#endif
