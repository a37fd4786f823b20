#ifndef DRAVLIN_DIALOGUE_H
#define DRAVLIN_DIALOGUE_H

#include "Dialect.h"
#include "Line.h"

#include <QString>

// A dialogue followed as its server reads it: pairs each answer with the
// command it answers (in order; IMAP by tag), tells when an answer is whole
// (an SMTP/FTP reply's last line, a POP3 listing's ".", IMAP's tagged line),
// and how the client's next bytes read (lines, a BDAT chunk or literal of n
// bytes, an SMTP message up to ".", or nothing until an answer decides).
//
// A driver feeds every line of both sides in the order they crossed, with
// the counted bytes stepped over (LineReader does that):
//
//     Dialogue dialogue;                        // the greeting picks the dialect
//     const Dialogue::Sent s = dialogue.clientLine(Line::of(row));
//     reader.skip(dialogue.takeClientData());   // BDAT chunk, literal now due
//     const Dialogue::Heard h = dialogue.serverLine(Line::of(row));
//     if (h.complete) ... h.command (serial of s), h.answer.status, h.accepted
//     if (h.proceeds) ... the client's next bytes for command h.command may go
//     reader.skip(dialogue.takeServerData());   // a literal in an IMAP response
//
// A line that does not fit (an answer to no command, a foreign greeting)
// sets misfit(): the dialogue is no longer followed.
class Dialogue
{
public:
    // What did not fit, for whoever words it.
    enum class Misfit : quint8 {
        None,
        TooManyPending,       // more than PendingCommands commands unanswered
        NoKnownProtocol,      // the greeting is none of SMTP, POP3, IMAP, FTP
        ImapUntaggedCommand,  // a command without a tag before the IMAP greeting
        MultilineInterrupted, // a multiline reply cut by another
        ReplyWithoutCode,
        ReplyUnasked,         // a reply while no command awaited one
        Pop3ReplyWithoutStatus,
    };

    // Commands sent and not yet answered past this: the dialogue is not one we know.
    static constexpr qsizetype PendingCommands = 10000;

    // What a client line was.
    struct Sent {
        enum class Part : quint8 {
            Command,  // a command: its serial is in command
            Body,     // a line of an SMTP message
            BodyEnd,  // the message's "." line: answered like a command (serial in command)
            Rest,     // the rest of a command after a literal
            Ignored,  // no command (a line answering "+", or one the server rejects unread)
        };
        Part part = Part::Command;
        int command = -1;
        Command meaning;
    };
    // What a server line was.
    struct Heard {
        Answer answer;
        bool greeting = false; // (part of) the greeting: answers nothing
        int command = -1;      // serial of the command it answers, -1 for none
        Command asked;         // that command
        bool complete = false; // the last line of the answer to it
        bool accepted = false; // complete, and grants what was asked (Dialect::accepts)
        // An IMAP "+": the client goes on with the same command (its literal,
        // its next AUTHENTICATE line, IDLE's DONE); the answer is not complete.
        bool proceeds = false;
        // An untagged IMAP "* BAD": the server could not read some command
        // and will not answer it by its tag. A command waiting for "+" to send
        // its literal is taken as that one, and ends there.
        bool rejectsUnread = false;
    };

    // dialect null: told by the server's greeting.
    explicit Dialogue(const Dialect *dialect = nullptr);

    const Dialect &dialect() const { return *m_dialect; }
    bool greeted() const { return m_greeted; }

    Sent clientLine(const Line &line);
    Heard serverLine(const Line &line);
    // Bytes now due from that side that are data, not lines (a BDAT chunk, a
    // literal): once taken, the driver steps over them.
    qsizetype takeClientData();
    qsizetype takeServerData();

    // What the client sends next cannot be read before an answer comes: an
    // upgrade, DATA, or a synchronising literal is pending.
    bool clientWaits() const;
    bool inBody() const { return m_inBody; }
    // Serial of a pending upgrade command, -1 if none.
    int pendingUpgrade() const { return m_upgrade; }
    // QUIT or LOGOUT was answered positively, and no command followed.
    bool isOver() const { return m_over; }
    // Why the dialogue is not followed any more; None while it is.
    Misfit misfit() const { return m_misfit; }

private:
    struct Pending {
        int serial = -1;
        Command command;
        // Before the greeting: the line's start, read again once the protocol is known.
        QByteArray text;
        bool cut = false;
    };
    void identify(QByteArrayView greeting);
    int expect(const Command &command, const Line &line);
    void fail(Misfit why);
    void codedAnswer(Heard &heard);
    void pop3Answer(Heard &heard);
    void imapAnswer(const Line &line, Heard &heard);
    void settle(const Pending &pending, Heard &heard);

    const Dialect *m_dialect;
    bool m_known;
    bool m_greeted = false;
    bool m_over = false;
    Misfit m_misfit = Misfit::None;
    QList<Pending> m_pending; // oldest first
    int m_serial = 0;
    int m_upgrade = -1; // the pending upgrade's serial

    bool m_lineBegins = true; // the client's next line begins a command
    qsizetype m_clientData = 0;
    qsizetype m_literal = -1;   // a client literal whose reading waits on the server
    bool m_literalSync = false; // ...on its "+" (else only on the protocol being known)
    QByteArray m_commandTag;    // the tag of the command being sent (IMAP)
    int m_dataDue = -1;         // DATA sent, its answer not yet in: its serial
    bool m_inBody = false;
    bool m_afterCrLf = true;

    qsizetype m_serverData = 0;
    QByteArray m_replyCode; // "250" while a "250-" reply goes on
    bool m_serverLineBegins = true;
    Pending m_listing; // a POP3 listing under way: the command it answers
    bool m_inListing = false;
};

#endif
