// The pipeline and the panes' model in one process, as the window runs them
// but without the window: the relay and the storing of rows on the
// pipeline's thread, the model catching up on the main thread, and a 10 ms
// probe timer on the main thread's loop.
//
//   dravlin_bench_relay SERVER_PORT [LISTEN_PORT [CA_DIRECTORY SERVER_CA_FILE]]
//
// Relays from LISTEN_PORT (by default one the system picks, anew at each
// re-arm) on this machine to 127.0.0.1:SERVER_PORT and prints "port N" once
// it listens. With a CA directory it inspects TLS, trusting SERVER_CA_FILE
// for the server. When stdin reaches its end it prints what
// it measured, one "key value" per line, and exits.

#include "Conversation.h"
#include "EventText.h"
#include "LagProbe.h"
#include "Monitor.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

// A field of /proc/self/status, in KiB.
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: dravlin_bench_relay SERVER_PORT [LISTEN_PORT [CA_DIRECTORY SERVER_CA_FILE]]\n");
        return 2;
    }

    Conversation conversation;
    Monitor relay(Monitor::Placement::OwnThread, conversation.store());
    LagProbe lag;

    qint64 rssBeforeKiB = -1;
    QObject::connect(&relay, &Monitor::eventOccurred, &app, [&](const RelayEvent &event) {
        switch (event.kind) {
        case RelayEvent::Kind::Listening:
            if (rssBeforeKiB < 0) {
                rssBeforeKiB = statusKiB("VmRSS");
                std::printf("port %u\n", unsigned(event.listenPort));
                std::fflush(stdout);
            }
            break;
        case RelayEvent::Kind::ClientConnected:
            lag.start();
            break;
        case RelayEvent::Kind::SessionEnded:
            lag.stop();
            break;
        case RelayEvent::Kind::ServerFailed:
        case RelayEvent::Kind::ListenFailed:
        case RelayEvent::Kind::Undelivered:
        case RelayEvent::Kind::TlsFailed:
        case RelayEvent::Kind::TlsUnavailable:
            std::fprintf(stderr, "dravlin_bench_relay: %s\n", qUtf8Printable(EventText::describe(event)));
            break;
        default:
            break;
        }
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char discard[256];
        if (::read(STDIN_FILENO, discard, sizeof discard) > 0)
            return;
        input.setEnabled(false);
        conversation.catchUp();
        // Captured rows only: the sessions' marks are the pipeline's own.
        int rows = 0;
        for (int row = 0; row < conversation.rowCount(); ++row)
            rows += conversation.isMarker(row) ? 0 : 1;
        std::printf("rows %d\n", rows);
        std::printf("stored_bytes %lld\n", static_cast<long long>(conversation.storedBytes()));
        std::printf("rss_before_kib %lld\n", static_cast<long long>(rssBeforeKiB));
        std::printf("rss_peak_kib %lld\n", static_cast<long long>(statusKiB("VmHWM")));
        std::printf("lag_samples %zu\n", lag.samples());
        std::printf("lag_median_us %lld\n", static_cast<long long>(lag.quantileUs(0.5)));
        std::printf("lag_p99_us %lld\n", static_cast<long long>(lag.quantileUs(0.99)));
        std::printf("lag_max_us %lld\n", static_cast<long long>(lag.quantileUs(1.0)));
        std::fflush(stdout);
        relay.shutdown();
        QCoreApplication::quit();
    });

    RelaySettings settings;
    settings.listenPort = argc > 2 ? static_cast<quint16>(QByteArray(argv[2]).toUInt()) : 0;
    settings.serverHost = QStringLiteral("127.0.0.1");
    settings.serverPort = static_cast<quint16>(QByteArray(argv[1]).toUInt());
    if (argc == 5) {
        settings.tls.inspectTls = true;
        settings.tls.caDirectory = QString::fromLocal8Bit(argv[3]);
        settings.tls.extraCaFile = QString::fromLocal8Bit(argv[4]);
    }
    relay.start(settings);
    return QCoreApplication::exec();
}
