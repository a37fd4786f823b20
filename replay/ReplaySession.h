#ifndef DRAVLIN_REPLAYSESSION_H
#define DRAVLIN_REPLAYSESSION_H

#include "AnswerReading.h"
#include "LineCapture.h"
#include "RelayEvent.h"
#include "ReplayNotice.h"
#include "ReplayPlan.h"
#include "ReplayScript.h"
#include "StreamSocket.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

// Plays a recorded session again against a server: connects (with TLS from
// the first byte where the recording had it so), sends each group of the
// client's rows once the answers before it are in, upgrades to TLS where the
// recording did, and compares each answer with the recorded one. Tells what
// it sends and hears as rows, its moments as the relay's marks, and the rest
// as notices: the words are the front end's.
class ReplaySession : public QObject
{
    Q_OBJECT

public:
    struct Target {
        QString host;
        quint16 port = 25;
        bool insecure = false;  // any certificate, its fingerprint told
        int timeoutMs = 10000;  // for each answer
        int silenceMs = 2000;   // an unknown protocol's answer is over after this
    };

    ReplaySession(const ReplayScript &script, const Target &target, QObject *parent = nullptr);
    ~ReplaySession() override;

    void start();
    // Ends at once, the replay unfinished.
    void stop();

    int answers() const { return m_answers; }
    int differences() const { return m_differences; }
    bool isComplete() const { return m_complete; }

Q_SIGNALS:
    void rows(Side side, const LineCapture::Rows &rows, qint64 msecs);
    void markOccurred(const RelayEvent &event);
    void notice(const ReplayNotice &notice);
    // Once: the replay is over, complete or not.
    void finished();

private:
    void onConnected();
    void onReceived(const QByteArray &bytes);
    void onReadEnded();
    void onPeerReset();
    void onFailed();
    void onTlsEstablished();
    void onTlsFailed();
    void onWaitOver();
    void onSilence();

    void proceed();
    void send(const QByteArray &bytes);
    // Compares the step's answers once all are in (or, silent, with those
    // that came) and moves on; false while they are awaited, or once halted.
    bool settle(bool silent);
    void finishReplay();
    void compare(const AnswerReading::Answer &expected, const AnswerReading::Answer *got);
    void halt(ReplayNotice::Stop stop, const QString &reason = {}, const FailureCause &cause = {});
    void end(RelayEvent::End how, Side side);
    void startTls();
    RelayEvent stamped(RelayEvent e) const;

    const ReplayScript &m_script;
    const ReplayPlan m_plan;
    const Target m_target;
    StreamSocket m_socket;
    TlsEngine::Context m_trust;
    AnswerReading m_reading;
    LineCapture m_clientRows;
    LineCapture m_serverRows;
    QList<AnswerReading::Answer> m_got; // answers in, not yet compared
    QTimer m_wait;
    QTimer m_silence;
    QElapsedTimer m_clock;
    size_t m_step = 0;
    bool m_waiting = false;   // for the answers of m_step
    bool m_handshaking = false;
    bool m_closing = false; // every step done: the connection is ending
    bool m_began = false;
    bool m_over = false;
    bool m_complete = false;
    int m_answers = 0;
    int m_differences = 0;
    qint64 m_bytesSent = 0;
    qint64 m_bytesHeard = 0;
    qsizetype m_rowsHeard = 0;
};

#endif
