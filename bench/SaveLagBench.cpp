// What a click costs the traffic: the real window holding a long
// conversation saves it, then exports it as pcap, while a second client's
// line goes through the relay to an echo server and back every few
// milliseconds. The same probe runs first with the window idle, as the
// reference of the same run.
//
//   dravlin_bench_savelag [ROWS]
//
// Prints "key value" lines: round trips (median, 99th percentile, worst, in
// microseconds) for each phase, and how long the save and the export took.
// Every byte goes to 127.0.0.1 only.

#include "Conversation.h"
#include "LineCapture.h"
#include "MainWindow.h"
#include "RelaySettings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr int ProbeGapMs = 5;
constexpr int IdlePhaseMs = 3000;
constexpr int WaitMs = 10000;

// Echoes every byte of the one connection it takes, on a thread of its own.
std::unique_ptr<QThread> startEcho(std::atomic<quint16> *port)
{
    std::unique_ptr<QThread> thread(QThread::create([port] {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0))
            return;
        port->store(server.serverPort());
        if (!server.waitForNewConnection(60000))
            return;
        QTcpSocket *peer = server.nextPendingConnection();
        while (peer->state() == QAbstractSocket::ConnectedState) {
            if (peer->bytesAvailable() == 0 && !peer->waitForReadyRead(60000))
                break;
            peer->write(peer->readAll());
            peer->waitForBytesWritten(WaitMs);
        }
    }));
    thread->start();
    return thread;
}

// Sends a line, waits for it back, and records how long that took, until told to stop.
class Probe
{
public:
    void start(quint16 port)
    {
        m_thread.reset(QThread::create([this, port] { run(port); }));
        m_thread->start();
    }
    void stop()
    {
        m_stop = true;
        m_thread->wait();
    }
    bool ready() const { return m_ready; }
    // The round trips since the last call, in microseconds.
    std::vector<qint64> take()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_samples, {});
    }

private:
    void run(quint16 port)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(WaitMs))
            return;
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QElapsedTimer clock;
        for (int n = 0; !m_stop; ++n) {
            const QByteArray line = "NOOP " + QByteArray::number(n) + "\r\n";
            clock.start();
            socket.write(line);
            QByteArray back;
            while (back.size() < line.size() && socket.waitForReadyRead(WaitMs))
                back += socket.readAll();
            if (back != line)
                return;
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_samples.push_back(clock.nsecsElapsed() / 1000);
            }
            m_ready = true;
            QThread::msleep(ProbeGapMs);
        }
    }

    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ready{false};
    std::mutex m_mutex;
    std::vector<qint64> m_samples;
};

void report(const char *phase, std::vector<qint64> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double q) {
        return samples.empty() ? qint64(-1) : samples[std::min(samples.size() - 1, size_t(q * double(samples.size())))];
    };
    std::printf("%s_samples %zu\n%s_rtt_median_us %lld\n%s_rtt_p99_us %lld\n%s_rtt_max_us %lld\n", phase, samples.size(),
                phase, static_cast<long long>(at(0.5)), phase, static_cast<long long>(at(0.99)), phase,
                static_cast<long long>(samples.empty() ? -1 : samples.back()));
}

void spin(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int rows = argc > 1 ? QByteArray(argv[1]).toInt() : 1000000;

    std::atomic<quint16> echoPort{0};
    const std::unique_ptr<QThread> echo = startEcho(&echoPort);
    while (echoPort == 0)
        QThread::msleep(1);

    MainWindow window;
    window.show();
    RelaySettings settings{0, QStringLiteral("127.0.0.1"), echoPort.load()};
    settings.maxClients = 2;
    window.start(settings);
    QElapsedTimer waited;
    waited.start();
    while (window.monitor().listeningPort() == 0 && waited.elapsed() < WaitMs)
        spin(10);

    // A long conversation already held: some 97 bytes a row, as mail reads.
    LineCapture capture;
    const QByteArray line = "RCPT TO:<" + QByteArray(80, 'd') + "@exemple.org>\r\n";
    QByteArray chunk;
    for (int i = 0; i < 1000; ++i)
        chunk += line;
    for (int held = 0; held < rows; held += 1000)
        window.conversation()->appendRows(held % 2000 ? Side::Server : Side::Client, capture.feed(chunk), 0);

    Probe probe;
    probe.start(window.monitor().listeningPort());
    while (!probe.ready() && waited.elapsed() < 2 * WaitMs)
        spin(10);
    probe.take();
    spin(IdlePhaseMs);
    report("idle", probe.take());

    QTemporaryDir dir;
    QElapsedTimer took;
    took.start();
    const bool saved = window.saveConversation(dir.filePath(QStringLiteral("c.txt")));
    std::printf("save_ms %lld\nsave_ok %d\n", static_cast<long long>(took.elapsed()), int(saved));
    report("save", probe.take());

    took.start();
    const bool exported = window.exportPcap(dir.filePath(QStringLiteral("c.pcap")));
    std::printf("export_ms %lld\nexport_ok %d\n", static_cast<long long>(took.elapsed()), int(exported));
    report("export", probe.take());
    std::fflush(stdout);

    probe.stop();
    window.close();
    echo->wait(100);
    return 0;
}
