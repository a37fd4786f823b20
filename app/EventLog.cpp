#include "EventLog.h"

#include "ControlBytes.h"
#include "RowText.h"
#include "Transcript.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

EventLog::EventLog(int fd, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
{
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &EventLog::onWritable);
}

void EventLog::print(const QString &message)
{
    // The wording escapes what peers chose; should a control character come
    // through all the same, it never reaches the terminal as one.
    const bool raw = std::any_of(message.cbegin(), message.cend(),
                                 [](QChar c) { return ControlBytes::isControl(c.unicode()); });
    const QByteArray line = QStringLiteral("dravlin: %1\n").arg(raw ? RowText::escaped(message) : message).toUtf8();
    if (m_backlog.size() + line.size() > BacklogBytes) {
        // The oldest lines are kept: they say how it began.
        ++m_dropped;
        return;
    }
    m_backlog.append(line);
    writeReady(0);
}

void EventLog::flush(QDeadlineTimer deadline)
{
    while (!m_backlog.isEmpty() && !deadline.hasExpired())
        writeReady(int(qMin<qint64>(deadline.remainingTime(), 100)));
}

void EventLog::onWritable()
{
    writeReady(0);
}

void EventLog::writeReady(int waitMs)
{
    // Qt's devices write through a blocking descriptor: a stopped terminal
    // would hold the caller. Only what poll() says fits is written here.
    while (!m_backlog.isEmpty()) {
        pollfd room{m_fd, POLLOUT, 0};
        if (::poll(&room, 1, waitMs) <= 0)
            break;
        if (room.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            // Nobody is reading our errors any more; nothing else to tell them by.
            m_backlog.clear();
            break;
        }
        const ssize_t n = ::write(m_fd, m_backlog.constData(), size_t(qMin<qsizetype>(m_backlog.size(), 4096)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_backlog.clear();
            break;
        }
        m_backlog.remove(0, n);
        if (m_backlog.isEmpty() && m_dropped > 0) {
            m_backlog = (m_dropped == 1 ? QStringLiteral("dravlin: 1 message d'événement perdu, la sortie d'erreur ne "
                                                         "lisait plus\n")
                                        : QStringLiteral("dravlin: %1 messages d'événement perdus, la sortie d'erreur "
                                                         "ne lisait plus\n")
                                              .arg(Transcript::countText(m_dropped)))
                            .toUtf8();
            m_dropped = 0;
        }
    }
    m_notifier->setEnabled(!m_backlog.isEmpty());
}
