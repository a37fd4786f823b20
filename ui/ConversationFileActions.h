#ifndef DRAVLIN_CONVERSATIONFILEACTIONS_H
#define DRAVLIN_CONVERSATIONFILEACTIONS_H

#include <QObject>

class Conversation;
class QDateTime;
class QWidget;

// The conversation's files: saving it as a stamped transcript, exporting it
// as a pcap capture, and opening a saved one in its place. Each action asks
// for a path over the window, then works on that path alone; what fails is
// reported whole, and a file is either written entirely or left as it was.
// Opening and exporting go a slice at a time under a progress dialog that
// can cancel them; cancelled, they change nothing and report nothing.
class ConversationFileActions : public QObject
{
    Q_OBJECT

public:
    ConversationFileActions(Conversation *conversation, QWidget *window);

    // New rows would land among a file's: no opening while the relay runs.
    void setRelayRunning(bool running) { m_relayRunning = running; }

    bool save(const QString &path);
    bool exportPcap(const QString &path);
    bool open(const QString &path);
    // What the save dialog offers, e.g. "conversation-2026-12-06-201530.txt".
    static QString suggestedFileName(const QDateTime &when);

public Q_SLOTS:
    // Each asks for the path first; a cancelled dialog does nothing.
    void chooseAndSave();
    void chooseAndExportPcap();
    void chooseAndOpen();

Q_SIGNALS:
    // Why an action failed, worded for the user.
    void failed(const QString &message);
    // What was written where, worded for the status line and the history.
    void written(const QString &message);
    // The conversation now holds the file's rows.
    void opened(const QString &path);

private:
    Conversation *m_conversation;
    QWidget *m_window;
    bool m_relayRunning = false;
};

#endif
