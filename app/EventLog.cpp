#include "EventLog.h"
#include "FigureText.h"

#include "InterruptibleWriter.h"
#include "ControlBytes.h"
#include "RowText.h"
#include "Transcript.h"

#include <QSocketNotifier>

#include <algorithm>

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
    // would hold the caller. Only what the descriptor takes now is written.
    while (!m_backlog.isEmpty()) {
        const qint64 n = InterruptibleWriter::writeReady(m_fd, m_backlog.constData(), m_backlog.size(), waitMs);
        if (n < 0) {
            // Nobody is reading our errors any more; nothing else to tell them by.
            m_backlog.clear();
            break;
        }
        if (n == 0)
            break;
        m_backlog.remove(0, n);
        if (m_backlog.isEmpty() && m_dropped > 0) {
            m_backlog = (m_dropped == 1 ? tr("dravlin: 1 message d'événement perdu, la sortie d'erreur ne "
                                             "lisait plus\n")
                                        : tr("dravlin: %1 messages d'événement perdus, la sortie d'erreur "
                                             "ne lisait plus\n")
                                              .arg(FigureText::count(m_dropped)))
                            .toUtf8();
            m_dropped = 0;
        }
    }
    m_notifier->setEnabled(!m_backlog.isEmpty());
}
