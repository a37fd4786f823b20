// The console suites' shared helpers: the built `dravlin` run between fake
// peers on loopback, and what its outputs are read into.
#pragma once

#include "FakeServer.h"
#include "Conversation.h"
#include "ConversationPcap.h"
#include "LineEchoServer.h"
#include "LoopbackPeer.h"
#include "TranscriptReader.h"
#include "StartTlsClient.h"
#include "TestTexts.h"
#include "Transcript.h"
#include "TsharkStreams.h"

#include <QtNetwork>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

// A chunk as the relay hands it over: its rows share a buffer of the given size.
inline LineCapture::Rows chunk(const QByteArray &bytes, qsizetype bufferBytes = 0)
{
    QByteArray buffer;
    buffer.reserve(qMax(bufferBytes, bytes.size()));
    buffer.append(bytes);
    return LineCapture().feed(buffer);
}

inline QByteArray readAllFrom(int fd)
{
    QByteArray all;
    char block[65536];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;)
        all.append(block, n);
    return all;
}

// A console relay towards a server on loopback, on a port the system picks.
inline QStringList relayTo(quint16 serverPort, const QStringList &more = {})
{
    return textList({"--console", "--listen", "0", "--server"}) << QStringLiteral("127.0.0.1:%1").arg(serverPort) << more;
}

inline QProcessEnvironment environment(const QString &dataHome = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Half-hour offset: a stamp in UTC, or rounded to whole hours, cannot match by luck.
    env.insert(QStringLiteral("TZ"), QStringLiteral("XXX-05:30"));
    if (!dataHome.isEmpty())
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    return env;
}

struct ConsoleRun
{
    // stdoutSetup runs in the child before it starts: it may replace fd 1.
    explicit ConsoleRun(const QStringList &arguments, const QProcessEnvironment &env = environment(),
                        const std::function<void()> &stdoutSetup = {})
    {
        process.setProcessEnvironment(env);
        if (stdoutSetup)
            process.setChildProcessModifier(stdoutSetup);
        process.start(QStringLiteral(DRAVLIN_BINARY), arguments);
    }
    ~ConsoleRun() { process.kill(), process.waitForFinished(); }
    // Whether the console said it listens; port is then where (it is started with --listen 0).
    bool listening()
    {
        static const QRegularExpression said(QStringLiteral("dravlin: écoute sur le port (\\d+)\n"));
        QRegularExpressionMatch m;
        if (QTest::qWaitFor([&] { return drain(), (m = said.match(QString::fromUtf8(err))).hasMatch(); }, 10000))
            port = quint16(m.captured(1).toUInt());
        return port != 0;
    }
    qint64 statusKiB(const char *field) const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB").arg(QLatin1String(field)),
                                      QRegularExpression::MultilineOption);
        return status.open(QIODevice::ReadOnly) ? line.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong() : -1;
    }
    bool waitFor(const char *needle) { return QTest::qWaitFor([&] { return drain(), (out.contains(needle) || err.contains(needle)); }, 10000); }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    bool stop(int ms = 10000) { return signal(SIGTERM), finish(ms); }
    bool finish(int ms = 10000) // and then every stderr line carries the program's prefix
    {
        const bool ended = (process.state() == QProcess::NotRunning || process.waitForFinished(ms))
            && process.exitStatus() == QProcess::NormalExit;
        QList<QByteArray> lines = (drain(), err.split('\n'));
        return ended && lines.takeLast().isEmpty() && !lines.isEmpty()
            && std::all_of(lines.cbegin(), lines.cend(),
                           [](const QByteArray &line) { return line.startsWith("dravlin: "); });
    }
    void drain() { out += process.readAllStandardOutput(), err += process.readAllStandardError(); }

    QProcess process;
    QByteArray out, err;
    quint16 port = 0;
};

// The lines of a stamped transcript with their stamps taken off.
inline QList<QByteArray> unstamped(const QByteArray &out)
{
    QList<QByteArray> lines;
    for (const QByteArray &line : out.split('\n'))
        if (line.size() > 13)
            lines.append(line.mid(13));
    return lines;
}

// stdout's lines by session number, "#K " (after the stamp) taken off; a
// line without a number goes under 0, whole.
inline QMap<int, QList<QByteArray>> bySession(const QByteArray &out, bool stamped)
{
    static const QRegularExpression numbered(QStringLiteral("^#([1-9]\\d*) (.*)$"));
    QMap<int, QList<QByteArray>> sessions;
    for (const QByteArray &line : out.split('\n')) {
        const QRegularExpressionMatch m = numbered.match(QString::fromUtf8(stamped ? line.mid(13) : line));
        if (!line.isEmpty())
            sessions[m.captured(1).toInt()].append(m.hasMatch() ? m.captured(2).toUtf8() : line);
    }
    return sessions;
}

// The lines after the opening mark of the session whose client spoke from that port.
inline QList<QByteArray> sessionOf(const QMap<int, QList<QByteArray>> &sessions, quint16 clientPort)
{
    const QByteArray client = " client 127.0.0.1:" + QByteArray::number(clientPort) + " \xe2\x86\x92 ";
    for (const QList<QByteArray> &lines : sessions)
        if (lines.constFirst().startsWith("-- ") && lines.constFirst().contains(client))
            return lines.mid(1);
    return {};
}

// Clients connected at once, each then sent that many greeting bytes; the port each speaks from.
template <std::size_t N>
inline QList<quint16> connectAll(std::array<LoopbackPeer, N> &clients, quint16 port, qsizetype greeting = 0)
{
    QList<quint16> ports;
    for (LoopbackPeer &client : clients)
        client.connectTo(port);
    for (LoopbackPeer &client : clients)
        ports.append(client.waitForConnected() && client.waitForReceived(greeting) ? client.socket()->localPort() : 0);
    return ports;
}
