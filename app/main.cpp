#include "CertificateAuthority.h"
#include "CommandLine.h"
#include "ConsoleFrontEnd.h"
#include "DisplayProbe.h"
#include "QtFrenchGaps.h"
#include "ReasonText.h"
#include "ReplayFrontEnd.h"
#include "StandardStreams.h"
#include "TerminationSignals.h"
#include "WindowFrontEnd.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <clocale>
#include <cstdio>

namespace {

void printTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Qt takes the conventions it writes dates and sizes with, as in the file
// chooser's list, from the environment rather than from QLocale's default:
// told French ones, whatever the user's, before any application object reads
// them. The C library takes the user's locale first, so that it keeps it
// where no French one is installed (rather than falling back to "C").
void useFrenchConventions()
{
    std::setlocale(LC_ALL, "");
    qputenv("LC_ALL", "fr_FR.UTF-8");
}

// Names the program and has Qt speak French: the option help's own words,
// the file chooser, message box buttons and the system reasons they quote
// (qtbase_fr, from Debian's qt6-translations-l10n), and the dates and numbers
// Qt writes itself, as in the file chooser's list, whatever the user's locale.
// Each application object needs it anew; the translators must outlive it.
// Without the translation Qt speaks English, which is no reason to stop.
void setIdentity(QTranslator *qtFrench, QtFrenchGaps *gaps, QTranslator *ownTexts)
{
    QCoreApplication::setApplicationName(QStringLiteral("dravlin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVLIN_VERSION));
    const QLocale french(QLocale::French, QLocale::France);
    QLocale::setDefault(french);
    if (qtFrench->load(french, QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qtFrench);
    QCoreApplication::installTranslator(gaps);
    // Dravlin's own texts are French at the source: a translation for the
    // user's language, where one was made (dravlin_de.qm…), replaces them.
    if (ownTexts->load(QLocale::system(), QStringLiteral("dravlin"), QStringLiteral("_"),
                       QCoreApplication::applicationDirPath() + QStringLiteral("/../share/dravlin/translations")))
        QCoreApplication::installTranslator(ownTexts);
}

// The window's icon is the packaged one, built in so that a build run where
// it stands shows it too; the desktop entry of the same name lets the
// desktop match the window with it. Drawing it takes Qt's SVG image plugin:
// without it the window keeps the desktop's default icon.
void setWindowIdentity()
{
    QGuiApplication::setDesktopFileName(QStringLiteral("dravlin"));
    const QIcon icon(QStringLiteral(":/dravlin.svg"));
    if (!icon.pixmap(QSize(64, 64)).isNull())
        QApplication::setWindowIcon(icon);
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
        if (const FailureCause error = authority.exportCertificate(options.exportCaPath); !error.isNone()) {
            printTo(stderr, QStringLiteral("dravlin: --export-ca : %1\n").arg(ReasonText::describe(error)));
            return 1;
        }
        printTo(stderr, QCoreApplication::translate("main", "dravlin: certificat de l'autorité écrit dans « %1 » (autorité : %2)\n")
                            .arg(options.exportCaPath, QDir::toNativeSeparators(authority.directory())));
        return 0;
    }
    case CommandLine::Outcome::Error:
        printTo(stderr, QStringLiteral("dravlin: %1\n").arg(options.errorText));
        return 2;
    case CommandLine::Outcome::Run:
    case CommandLine::Outcome::Replay:
        break;
    }
    return -1;
}

int runConsole(const CommandLine &options, bool stdoutClosed)
{
    ConsoleFrontEnd console(stdoutClosed);
    const int failed = console.start(options);
    if (failed >= 0)
        return failed;
    return QCoreApplication::exec();
}

int runReplay(const CommandLine &options, bool stdoutClosed)
{
    ReplayFrontEnd replay(stdoutClosed);
    const int failed = replay.start(options);
    if (failed >= 0)
        return failed;
    return QCoreApplication::exec();
}

int runWindow(int argc, char **argv, const CommandLine &options)
{
    QTranslator qtFrench;
    QTranslator ownTexts;
    QtFrenchGaps gaps;
    QApplication app(argc, argv);
    setIdentity(&qtFrench, &gaps, &ownTexts);
    setWindowIdentity();
    WindowFrontEnd front;
    front.open(options);
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    // First of all, before anything writes or opens a file.
    StandardStreams::ignoreBrokenPipe();
    bool stdoutClosed = false;
    if (!StandardStreams::occupyClosed(&stdoutClosed)) {
        // The next file opened could take a standard descriptor's place and
        // receive what was meant for it.
        printTo(stderr, QCoreApplication::translate("main", "dravlin: une sortie standard est fermée et le périphérique nul est "
                                       "introuvable : rien ne peut s'ouvrir sans risque\n"));
        return 1;
    }
    // Blocked before any thread exists, so the console can take them as events;
    // the window gives them back their default effect.
    TerminationSignals::block();
    useFrenchConventions();
    CommandLine options;
    {
        QTranslator qtFrench;
        QTranslator ownTexts;
        QtFrenchGaps gaps;
        QCoreApplication app(argc, argv);
        setIdentity(&qtFrench, &gaps, &ownTexts);
        const int answered = answerWithoutRunning(options, options.parse(QCoreApplication::arguments()));
        if (answered >= 0)
            return answered;
        if (options.console)
            return runConsole(options, stdoutClosed);
        if (!options.replayPath.isEmpty())
            return runReplay(options, stdoutClosed);
        if (QString why; !DisplayProbe::canOpen(&why)) {
            printTo(stderr, QCoreApplication::translate("main", "dravlin: aucun affichage graphique (%1) : la fenêtre ne peut pas s'ouvrir. "
                                           "Pour relayer sans fenêtre : dravlin --console\n")
                                .arg(why));
            return 1;
        }
    }
    TerminationSignals::unblock();
    return runWindow(argc, argv, options);
}
