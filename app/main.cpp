#include "CommandLine.h"
#include "ConsoleFrontEnd.h"
#include "MainWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

void printTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

bool wantsConsole(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--console") == 0)
            return true;
    }
    return false;
}

// Help and version need no window, and must print even without a display.
bool wantsTextOnly(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-h") == 0 || qstrcmp(argv[i], "--help") == 0
            || qstrcmp(argv[i], "-v") == 0 || qstrcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

int runConsole(int argc, char **argv)
{
    ConsoleFrontEnd::blockTerminationSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dravlin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVLIN_VERSION));

    CommandLine options;
    switch (options.parse(QCoreApplication::arguments())) {
    case CommandLine::Outcome::ShowHelp:
        printTo(stdout, options.helpText);
        return 0;
    case CommandLine::Outcome::ShowVersion:
        printTo(stdout, options.versionText + QLatin1Char('\n'));
        return 0;
    case CommandLine::Outcome::Error:
        printTo(stderr, QStringLiteral("dravlin: %1\n").arg(options.errorText));
        return 2;
    case CommandLine::Outcome::Run:
        break;
    }

    ConsoleFrontEnd console;
    console.setTimestamps(options.timestamps);
    const int failed = console.start(options.listenPortText, options.serverPortText,
                                     options.serverHostText);
    if (failed >= 0)
        return failed;
    return QCoreApplication::exec();
}

int runWindow(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dravlin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVLIN_VERSION));

    CommandLine options;
    if (options.parse(QCoreApplication::arguments()) == CommandLine::Outcome::Error) {
        printTo(stderr, QStringLiteral("dravlin: %1\n").arg(options.errorText));
        return 2;
    }

    MainWindow window;
    if (options.listenGiven || options.serverGiven)
        window.setFieldTexts(options.listenPortText, options.serverHostText, options.serverPortText);
    window.show();
    if (options.start)
        QTimer::singleShot(0, &window, &MainWindow::clickStart);
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (wantsConsole(argc, argv) || wantsTextOnly(argc, argv))
        return runConsole(argc, argv);
    return runWindow(argc, argv);
}
