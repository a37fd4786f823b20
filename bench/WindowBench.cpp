// The real window relaying a flood, as a user would watch it: MainWindow
// shown (run it under an X server, e.g. Xvfb), relaying from an OS-picked
// port to 127.0.0.1:SERVER_PORT, while the user's keys, wheel and clicks are
// timed from the moment they are posted until they are handled and the
// window has repainted.
//
//   dravlin_bench_window SERVER_PORT [STOP_AFTER_BYTES]
//
// With BENCH_CLIENTS=N in the environment, N clients are served at once.
// Prints "port N" once it listens. During the flood, every 100 ms, it presses
// Ctrl+End or turns the wheel one step in the client's pane. With
// STOP_AFTER_BYTES it clicks "Stop !" once that much has been captured,
// prints the reaction and exits. Otherwise, when stdin reaches its end, it
// presses Ctrl+End, turns the wheel step by step over the last rows and
// clicks "Stop !", then prints what it measured as "key value" lines.

#include "MainWindow.h"
#include "PaneView.h"
#include "RelaySettings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>
#include <unistd.h>

namespace {

constexpr int ProbeIntervalMs = 100;
constexpr int WheelStepsAfter = 20;

// Times one user action: its events are posted, then a marker behind them;
// when the marker arrives the events have been handled, and the window's
// pending repaint is done there and then.
class Reaction : public QObject
{
public:
    explicit Reaction(QWidget *window) : m_window(window) {}

    bool busy() const { return m_busy; }

    void measure(const std::vector<std::pair<QObject *, QEvent *>> &events, std::vector<qint64> *into,
                 std::function<void()> then = {})
    {
        m_busy = true;
        m_into = into;
        m_then = std::move(then);
        m_clock.start();
        for (const auto &[target, event] : events)
            QCoreApplication::postEvent(target, event);
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    }

protected:
    void customEvent(QEvent *) override
    {
        QCoreApplication::sendPostedEvents(m_window, QEvent::UpdateRequest);
        m_into->push_back(m_clock.nsecsElapsed());
        m_busy = false;
        if (m_then)
            m_then();
    }

private:
    QWidget *m_window;
    QElapsedTimer m_clock;
    std::vector<qint64> *m_into = nullptr;
    std::function<void()> m_then;
    bool m_busy = false;
};

QEvent *ctrlEnd()
{
    return new QKeyEvent(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
}

QEvent *wheelStep(QWidget *viewport, int delta)
{
    const QPointF at(viewport->width() / 2.0, viewport->height() / 2.0);
    return new QWheelEvent(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                           Qt::NoModifier, Qt::NoScrollPhase, false);
}

std::vector<std::pair<QObject *, QEvent *>> click(QPushButton *button)
{
    const QPointF at = QRectF(button->rect()).center();
    return {{button, new QMouseEvent(QEvent::MouseButtonPress, at, button->mapToGlobal(at), Qt::LeftButton,
                                     Qt::LeftButton, Qt::NoModifier)},
            {button, new QMouseEvent(QEvent::MouseButtonRelease, at, button->mapToGlobal(at), Qt::LeftButton,
                                     Qt::NoButton, Qt::NoModifier)}};
}

double ms(const std::vector<qint64> &ns, double q)
{
    if (ns.empty())
        return -1;
    std::vector<qint64> sorted = ns;
    std::sort(sorted.begin(), sorted.end());
    return double(sorted[static_cast<size_t>(q * double(sorted.size() - 1))]) / 1e6;
}

void print(const char *name, const std::vector<qint64> &ns)
{
    std::printf("%s_count %zu\n%s_median_ms %.2f\n%s_max_ms %.2f\n", name, ns.size(), name, ms(ns, 0.5), name,
                ms(ns, 1.0));
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dravlin_bench_window SERVER_PORT [STOP_AFTER_BYTES]\n");
        return 2;
    }
    const qint64 stopAfter = argc > 2 ? QByteArray(argv[2]).toLongLong() : -1;

    MainWindow window;
    window.show();
    auto *pane = window.findChild<PaneView *>(QStringLiteral("lstClient"));
    auto *stop = window.findChild<QPushButton *>(QStringLiteral("cmdStop"));
    Reaction reaction(&window);
    std::vector<qint64> endDuring, wheelDuring, stopDuring, endAfter, wheelAfter, stopAfterFlood;

    bool announced = false;
    QObject::connect(&window.monitor(), &Monitor::eventOccurred, &app, [&](const RelayEvent &event) {
        if (event.kind == RelayEvent::Kind::Listening && !announced) {
            announced = true;
            std::printf("port %u\n", unsigned(window.monitor().listeningPort()));
            std::fflush(stdout);
        }
    });

    // During the flood: Ctrl+End and wheel steps in turn, or the one Stop click.
    QTimer probe;
    int probes = 0;
    QObject::connect(&probe, &QTimer::timeout, &app, [&] {
        if (reaction.busy())
            return;
        if (stopAfter >= 0) {
            if (window.conversation()->storedBytes() < stopAfter)
                return;
            probe.stop();
            reaction.measure(click(stop), &stopDuring, [&] {
                std::printf("stored_bytes %lld\n", static_cast<long long>(window.conversation()->storedBytes()));
                print("stop_during", stopDuring);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
            return;
        }
        if (!window.monitor().clientConnected())
            return;
        if (probes++ % 2 == 0)
            reaction.measure({{pane, ctrlEnd()}}, &endDuring);
        else
            reaction.measure({{pane->viewport(), wheelStep(pane->viewport(), probes % 4 == 1 ? 120 : -120)}},
                             &wheelDuring);
    });
    // Waiting for the moment to click Stop is checked often, so a short flood is not missed.
    probe.start(stopAfter >= 0 ? 2 : ProbeIntervalMs);

    // After the flood: the end of the capture on screen, the wheel over it, then Stop.
    std::function<void()> wheelUp;
    int stepsLeft = WheelStepsAfter;
    const auto finish = [&] {
        // Captured rows only: the session marks around them are the window's
        // own, and hold no bytes.
        const Conversation *conversation = window.conversation();
        int rows = conversation->rowCount();
        const qint64 stored = conversation->storedBytes();
        for (int row = 0; row < conversation->rowCount(); ++row) {
            if (conversation->isMarker(row))
                --rows;
        }
        std::printf("rows %d\n", rows);
        std::printf("stored_bytes %lld\n", static_cast<long long>(stored));
        std::printf("first_visible_row %d\n", pane->firstVisibleRow());
        print("end_during", endDuring);
        print("wheel_during", wheelDuring);
        print("end_after", endAfter);
        print("wheel_after", wheelAfter);
        print("stop_after", stopAfterFlood);
        std::fflush(stdout);
        QCoreApplication::quit();
    };
    wheelUp = [&] {
        if (stepsLeft-- > 0)
            reaction.measure({{pane->viewport(), wheelStep(pane->viewport(), 120)}}, &wheelAfter, wheelUp);
        else
            reaction.measure(click(stop), &stopAfterFlood, finish);
    };
    // With a Stop click to make, stdin is not watched: the click ends the run.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    input.setEnabled(stopAfter < 0);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char discard[256];
        if (::read(STDIN_FILENO, discard, sizeof discard) > 0)
            return;
        input.setEnabled(false);
        probe.stop();
        // A probe still under way finishes first; its own marker is ahead of these.
        QTimer::singleShot(ProbeIntervalMs, &app, [&] {
            reaction.measure({{pane, ctrlEnd()}}, &endAfter, wheelUp);
        });
    });

    RelaySettings settings{0, QStringLiteral("127.0.0.1"), static_cast<quint16>(QByteArray(argv[1]).toUInt())};
    // BENCH_CLIENTS: how many floods come at once, each a session of its own.
    settings.maxClients = std::max(1, qEnvironmentVariableIntValue("BENCH_CLIENTS"));
    window.start(settings);
    return QApplication::exec();
}
