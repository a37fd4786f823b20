#ifndef DRAVLIN_DIALOGUEENDWATCH_H
#define DRAVLIN_DIALOGUEENDWATCH_H

#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>

// Tells from the lines relayed whether the dialogue was over: the client's
// last command was QUIT (SMTP, POP3, FTP) or "<tag> LOGOUT" (IMAP) and the
// server has answered it (221, +OK, "* BYE" or "<tag> OK"). Many clients
// then drop the connection with a reset rather than an orderly close, and
// nothing was lost by it.
//
// It only reads: it sees every chunk relayed (plain, or decrypted), so it
// keeps the first bytes of each side's current line and looks at nothing
// else.
class DialogueEndWatch
{
public:
    void feed(Side from, QByteArrayView bytes);
    bool isOver() const { return m_over; }

private:
    // A command or answer worth reading fits in this; a longer line is
    // something else (a message body, a long argument).
    static constexpr qsizetype KeptBytes = 40;
    enum class Awaiting : quint8 { Nothing, QuitAnswer, LogoutAnswer };
    struct LineStart {
        std::array<char, KeptBytes> bytes{};
        qsizetype size = 0;
        bool longer = false; // more came than was kept
    };

    void clientLine(QByteArrayView line);
    void serverLine(QByteArrayView line);

    LineStart m_line[2];
    Awaiting m_awaiting = Awaiting::Nothing;
    QByteArray m_tag; // the LOGOUT's, at most KeptBytes
    bool m_over = false;
};

#endif
