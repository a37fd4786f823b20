#include "ReplaySession.h"

#include <QDateTime>

namespace {

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

ReplaySession::ReplaySession(const ReplayScript &script, const Target &target, QObject *parent)
    : QObject(parent)
    , m_script(script)
    , m_plan(script)
    , m_target(target)
{
    m_wait.setSingleShot(true);
    m_wait.setInterval(target.timeoutMs);
    m_silence.setSingleShot(true);
    m_silence.setInterval(target.silenceMs);
    connect(&m_wait, &QTimer::timeout, this, &ReplaySession::onWaitOver);
    connect(&m_silence, &QTimer::timeout, this, &ReplaySession::onSilence);
    connect(&m_socket, &StreamSocket::connected, this, &ReplaySession::onConnected);
    connect(&m_socket, &StreamSocket::failed, this, &ReplaySession::onFailed);
    connect(&m_socket, &StreamSocket::received, this, &ReplaySession::onReceived);
    connect(&m_socket, &StreamSocket::readEnded, this, &ReplaySession::onReadEnded);
    connect(&m_socket, &StreamSocket::peerReset, this, &ReplaySession::onPeerReset);
    connect(&m_socket, &StreamSocket::stalled, this, [this] { halt(ReplayNotice::Stop::Timeout); });
    connect(&m_socket, &StreamSocket::tlsEstablished, this, &ReplaySession::onTlsEstablished);
    connect(&m_socket, &StreamSocket::tlsFailed, this, &ReplaySession::onTlsFailed);
}

ReplaySession::~ReplaySession()
{
    const QSignalBlocker quiet(this);
    m_socket.disconnect(this);
    m_socket.close();
}

void ReplaySession::start()
{
    m_clock.start();
    m_socket.setRemoteHost(m_target.host);
    m_socket.setRemotePort(m_target.port);
    m_socket.setStallLimit(m_target.timeoutMs);
    if (m_script.tls() != ReplayScript::Tls::None) {
        FailureCause why;
        m_trust = TlsEngine::clientContext(QString(), &why);
        if (!m_trust) {
            halt(ReplayNotice::Stop::TlsFailed, QString(), why);
            return;
        }
    }
    m_socket.connectToRemote();
    if (m_script.tls() == ReplayScript::Tls::Implicit)
        startTls();
}

void ReplaySession::stop()
{
    halt(ReplayNotice::Stop::None);
}

RelayEvent ReplaySession::stamped(RelayEvent e) const
{
    e.time = now();
    e.server = Endpoint::named(m_target.host, m_target.port);
    return e;
}

void ReplaySession::onConnected()
{
    m_began = true;
    Q_EMIT markOccurred(stamped(RelayEvent::clientConnected()));
    proceed();
}

void ReplaySession::startTls()
{
    m_handshaking = true;
    m_wait.start();
    m_socket.startTls(std::make_unique<TlsEngine>(m_trust, TlsEngine::ClientOptions{m_target.host, m_target.insecure}));
}

void ReplaySession::onTlsEstablished()
{
    m_handshaking = false;
    m_wait.stop();
    const RelayEvent established =
        stamped(RelayEvent::tlsEstablished(Side::Server, m_script.upgrade(), m_socket.tls()->summary()));
    Q_EMIT markOccurred(established);
    if (!established.tls.peerVerified) {
        ReplayNotice unverified;
        unverified.kind = ReplayNotice::Kind::Unverified;
        unverified.fingerprint = established.tls.peerFingerprint;
        Q_EMIT notice(unverified);
    }
    proceed();
}

void ReplaySession::onTlsFailed()
{
    halt(ReplayNotice::Stop::TlsFailed, QString(), m_socket.tlsFailure());
}

void ReplaySession::onFailed()
{
    halt(ReplayNotice::Stop::Unreachable, m_socket.errorString(), m_socket.failure());
}

void ReplaySession::onReceived(const QByteArray &bytes)
{
    if (m_over)
        return;
    m_bytesHeard += bytes.size();
    const LineCapture::Rows rows = m_serverRows.feed(bytes);
    if (!rows.isEmpty())
        Q_EMIT this->rows(Side::Server, rows, now());
    // Read a whole row at a time, so that each answer knows the row that
    // ended it: the window marks that row when the answer differs. No line
    // protocol ends an answer within a row.
    QList<AnswerReading::Answer> answers;
    for (qsizetype i = 0; i < rows.count(); ++i) {
        QByteArray row = rows.row(i).toByteArray();
        const bool crLf = rows.end(i) == LineCapture::RowEnd::CrLf;
        for (AnswerReading::Answer answer : m_reading.server(crLf ? row + "\r\n" : row)) {
            answer.row = row;
            answer.rowIndex = m_rowsHeard + i;
            answers.append(std::move(answer));
        }
    }
    m_rowsHeard += rows.count();
    if (m_closing)
        return; // all compared: what comes now is the server's goodbye
    m_got.append(answers);
    if (!answers.isEmpty() && m_waiting)
        m_wait.start();
    if (m_waiting && m_plan.byRows())
        m_silence.start();
    proceed();
}

void ReplaySession::onReadEnded()
{
    if (m_closing) {
        end(RelayEvent::End::ClosedByClient, Side::Client);
        return;
    }
    halt(ReplayNotice::Stop::Closed);
}

void ReplaySession::onPeerReset()
{
    if (m_closing) {
        end(RelayEvent::End::ClosedByClient, Side::Client);
        return;
    }
    halt(ReplayNotice::Stop::Reset, m_socket.errorString());
}

void ReplaySession::onWaitOver()
{
    if (m_closing) {
        end(RelayEvent::End::ClosedByClient, Side::Client);
        return;
    }
    halt(ReplayNotice::Stop::Timeout);
}

void ReplaySession::onSilence()
{
    if (m_waiting && settle(true))
        proceed();
}

void ReplaySession::proceed()
{
    const std::vector<ReplayPlan::Step> &steps = m_plan.steps();
    while (m_began && !m_over && !m_closing && !m_handshaking) {
        if (!m_waiting) {
            if (m_step >= steps.size()) {
                finishReplay();
                return;
            }
            const ReplayPlan::Step &step = steps[m_step];
            if (step.tlsFirst && !m_socket.isTls()) {
                startTls();
                return;
            }
            send(step.bytes);
            m_waiting = true;
            m_wait.start();
            if (m_plan.byRows())
                m_silence.start();
        }
        if (!settle(false))
            return;
    }
}

void ReplaySession::send(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_socket.send(bytes);
    m_bytesSent += bytes.size();
    m_reading.client(bytes);
    const LineCapture::Rows rows = m_clientRows.feed(bytes);
    if (!rows.isEmpty())
        Q_EMIT this->rows(Side::Client, rows, now());
}

bool ReplaySession::settle(bool silent)
{
    const std::vector<ReplayPlan::Step> &steps = m_plan.steps();
    const ReplayPlan::Step &step = steps[m_step];
    const qsizetype need = step.answers.size();
    if (m_got.size() < need && !silent)
        return false;
    const qsizetype have = std::min(need, m_got.size());
    for (qsizetype i = 0; i < need; ++i)
        compare(step.answers[i], i < have ? &m_got[i] : nullptr);
    const bool askedMore = need > 0 && step.answers.constLast().asksMore;
    const bool asksMore = have == need && need > 0 && m_got[need - 1].asksMore;
    const bool upgraded = have == need && need > 0 && m_got[need - 1].upgrade && m_got[need - 1].accepted;
    m_got.remove(0, have);
    m_waiting = false;
    m_wait.stop();
    m_silence.stop();
    size_t next = m_step + 1;
    if (next < steps.size() && steps[next].tlsFirst && !upgraded) {
        halt(ReplayNotice::Stop::UpgradeRefused);
        return false;
    }
    // What a command announced (a message, a login's answer, a literal) is
    // not sent when the server did not ask for it: it would be read as commands.
    if (askedMore && !asksMore && next < steps.size() && !steps[next].tlsFirst && !steps[next].bytes.isEmpty()) {
        ReplayNotice skipped;
        skipped.kind = ReplayNotice::Kind::NotSent;
        skipped.expected = step.answers.constLast();
        skipped.rows = steps[next].bytes.count("\n");
        Q_EMIT notice(skipped);
        for (const AnswerReading::Answer &expected : steps[next].answers)
            compare(expected, nullptr);
        ++next;
    }
    m_step = next;
    return true;
}

void ReplaySession::compare(const AnswerReading::Answer &expected, const AnswerReading::Answer *got)
{
    ++m_answers;
    if (got && got->key == expected.key)
        return;
    ++m_differences;
    ReplayNotice difference;
    difference.kind = ReplayNotice::Kind::Difference;
    difference.expected = expected;
    if (got) {
        difference.got = got->key;
        difference.gotRow = got->rowIndex;
    }
    Q_EMIT notice(difference);
}

void ReplaySession::finishReplay()
{
    m_complete = true;
    m_closing = true;
    // The server's goodbye, or its end once ours reaches it, ends the session.
    m_wait.start(std::min(m_target.timeoutMs, 2000));
    m_socket.shutdownWrite();
    if (m_socket.hasReadEnded())
        end(RelayEvent::End::ClosedByClient, Side::Client);
}

void ReplaySession::halt(ReplayNotice::Stop stop, const QString &reason, const FailureCause &cause)
{
    if (m_over)
        return;
    if (stop != ReplayNotice::Stop::None) {
        ReplayNotice stopped;
        stopped.kind = ReplayNotice::Kind::Stopped;
        stopped.stop = stop;
        stopped.reason = reason;
        stopped.cause = cause;
        stopped.seconds = m_target.timeoutMs / 1000;
        const std::vector<ReplayPlan::Step> &steps = m_plan.steps();
        if (m_waiting && m_step < steps.size() && m_got.size() < steps[m_step].answers.size()) {
            stopped.waiting = true;
            stopped.expected = steps[m_step].answers[m_got.size()];
        } else if (stop == ReplayNotice::Stop::UpgradeRefused && m_step < steps.size() && !steps[m_step].answers.isEmpty()) {
            stopped.expected = steps[m_step].answers.constLast();
        }
        Q_EMIT notice(stopped);
    }
    using End = RelayEvent::End;
    switch (stop) {
    case ReplayNotice::Stop::Closed:
        end(End::ClosedByServer, Side::Server);
        break;
    case ReplayNotice::Stop::Reset:
        end(End::ResetByServer, Side::Server);
        break;
    case ReplayNotice::Stop::TlsFailed:
        end(End::TlsFailed, Side::Server);
        break;
    case ReplayNotice::Stop::Unreachable:
        end(End::ServerUnreachable, Side::Server);
        break;
    default:
        end(End::Stopped, Side::Client);
        break;
    }
}

void ReplaySession::end(RelayEvent::End how, Side side)
{
    if (m_over)
        return;
    m_over = true;
    m_wait.stop();
    m_silence.stop();
    const LineCapture::Rows rest = m_serverRows.flush();
    if (!rest.isEmpty())
        Q_EMIT rows(Side::Server, rest, now());
    if (m_began) {
        Q_EMIT markOccurred(
            stamped(RelayEvent::sessionEnded(how, side, m_bytesSent, m_bytesHeard, m_clock.elapsed(), FailureCause())));
    }
    m_socket.close();
    Q_EMIT finished();
}
