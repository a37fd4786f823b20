#include "CommandLine.h"
#include "ConsoleFrontEnd.h"
#include "WindowFrontEnd.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

namespace {

void printTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void setIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("dravlin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVLIN_VERSION));
}

// Help, version and option errors are answered as text, without a display.
// Returns the exit status, or -1 when the options ask for a run.
int answerWithoutRunning(const CommandLine &options, CommandLine::Outcome outcome)
{
    switch (outcome) {
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
    return -1;
}

int runConsole(const CommandLine &options)
{
    ConsoleFrontEnd console;
    console.setTimestamps(options.timestamps);
    const int failed = console.start(options.listenPortText, options.serverPortText,
                                     options.serverHostText);
    if (failed >= 0)
        return failed;
    return QCoreApplication::exec();
}

int runWindow(int argc, char **argv, const CommandLine &options)
{
    QApplication app(argc, argv);
    setIdentity();
    // The program speaks French; so should Qt's own dialogs (file chooser,
    // message box buttons) and the system reasons they quote.
    QTranslator qtFrench;
    if (qtFrench.load(QLocale(QLocale::French), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtFrench);
    WindowFrontEnd front;
    front.open(options);
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    // Blocked before any thread exists, so the console can take them as events;
    // the window gives them back their default effect.
    ConsoleFrontEnd::blockTerminationSignals();
    CommandLine options;
    {
        QCoreApplication app(argc, argv);
        setIdentity();
        const int answered = answerWithoutRunning(options, options.parse(QCoreApplication::arguments()));
        if (answered >= 0)
            return answered;
        if (options.console)
            return runConsole(options);
    }
    ConsoleFrontEnd::unblockTerminationSignals();
    return runWindow(argc, argv, options);
}
