#include "CertificateAuthority.h"
#include "CommandLine.h"
#include "ConsoleFrontEnd.h"
#include "WindowFrontEnd.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

void printTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Names the program and has Qt speak French: the option help's own words,
// the file chooser, message box buttons and the system reasons they quote.
// Each application object needs it anew; the translator must outlive it.
void setIdentity(QTranslator *qtFrench)
{
    QCoreApplication::setApplicationName(QStringLiteral("dravlin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVLIN_VERSION));
    if (qtFrench->load(QLocale(QLocale::French), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qtFrench);
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
    case CommandLine::Outcome::ExportCa: {
        CertificateAuthority authority;
        const QString error = authority.exportCertificate(options.exportCaPath);
        if (!error.isEmpty()) {
            printTo(stderr, QStringLiteral("dravlin: --export-ca : %1\n").arg(error));
            return 1;
        }
        printTo(stderr, QStringLiteral("dravlin: certificat de l'autorité écrit dans « %1 » (autorité : %2)\n")
                            .arg(options.exportCaPath, QDir::toNativeSeparators(authority.directory())));
        return 0;
    }
    case CommandLine::Outcome::Error:
        printTo(stderr, QStringLiteral("dravlin: %1\n").arg(options.errorText));
        return 2;
    case CommandLine::Outcome::Run:
        break;
    }
    return -1;
}

// A standard descriptor closed by whoever started us would be handed to the
// next file or socket opened, which would then receive our transcript or
// errors. Each one found closed gets /dev/null. Returns whether stdout was.
bool occupyClosedStandardDescriptors()
{
    bool stdoutClosed = false;
    // In ascending order, so that open() returns the very descriptor missing.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        stdoutClosed = stdoutClosed || fd == STDOUT_FILENO;
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    return stdoutClosed;
}

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

int runConsole(const CommandLine &options, bool stdoutClosed)
{
    ConsoleFrontEnd console(stdoutClosed);
    const int failed = console.start(options);
    if (failed >= 0)
        return failed;
    return QCoreApplication::exec();
}

int runWindow(int argc, char **argv, const CommandLine &options)
{
    QTranslator qtFrench;
    QApplication app(argc, argv);
    setIdentity(&qtFrench);
    WindowFrontEnd front;
    front.open(options);
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    // First of all: a reader of ours that has gone must be a write error we
    // report, not a signal that ends the program before it can say anything.
    std::signal(SIGPIPE, SIG_IGN);
    const bool stdoutClosed = occupyClosedStandardDescriptors();
    // Blocked before any thread exists, so the console can take them as events;
    // the window gives them back their default effect.
    ConsoleFrontEnd::blockTerminationSignals();
    CommandLine options;
    {
        QTranslator qtFrench;
        QCoreApplication app(argc, argv);
        setIdentity(&qtFrench);
        const int answered = answerWithoutRunning(options, options.parse(QCoreApplication::arguments()));
        if (answered >= 0)
            return answered;
        if (options.console)
            return runConsole(options, stdoutClosed);
        if (!hasDisplay()) {
            printTo(stderr, QStringLiteral(
                "dravlin: aucun affichage graphique (ni DISPLAY ni WAYLAND_DISPLAY) : la fenêtre "
                "ne peut pas s'ouvrir. Pour relayer sans fenêtre : dravlin --console\n"));
            return 1;
        }
    }
    ConsoleFrontEnd::unblockTerminationSignals();
    return runWindow(argc, argv, options);
}
