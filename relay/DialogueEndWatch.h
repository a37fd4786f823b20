#ifndef DRAVLIN_DIALOGUEENDWATCH_H
#define DRAVLIN_DIALOGUEENDWATCH_H

#include "Dialect.h"
#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>

// Tells from the lines relayed whether the dialogue was over: the client's
// last command was the protocol's closing one (QUIT, "<tag> LOGOUT") and the
// server has answered it (221, +OK, "* BYE" or "<tag> OK"): the dialect the
// server's greeting names says which (relay/protocol). Many clients
// then drop the connection with a reset rather than an orderly close, and
// nothing was lost by it.
//
// It only reads: it sees every chunk relayed (plain, or decrypted), so it
// keeps the first bytes of each side's current line and looks at nothing
// else. Of a client chunk only the last whole line matters, and of the
// server only the lines after a closing command: the rest is skipped, so a
// flood costs it a look at each chunk's end.
class DialogueEndWatch
{
public:
    void feed(Side from, QByteArrayView bytes);
    bool isOver() const { return m_over; }

private:
    // A command or answer worth reading fits in this; a longer line is
    // something else (a message body, a long argument).
    static constexpr qsizetype KeptBytes = 40;
    struct LineStart {
        std::array<char, KeptBytes> bytes{};
        qsizetype size = 0;
        bool longer = false; // more came than was kept
    };

    static void keep(LineStart &line, QByteArrayView bytes);
    static void keepTail(LineStart &line, QByteArrayView bytes);
    static QByteArrayView trimmed(QByteArrayView line);
    void feedClient(QByteArrayView bytes);
    void feedServer(QByteArrayView bytes);
    void clientLine(QByteArrayView line);
    void serverLine(QByteArrayView line);

    LineStart m_line[2];
    const Dialect *m_dialect = nullptr; // told by the server's first line
    bool m_closing = false;             // the client's last command closes
    Command m_close;                    // that command (its tag, at most KeptBytes)
    bool m_over = false;
};

#endif
