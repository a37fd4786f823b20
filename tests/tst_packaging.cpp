#include "CommandLine.h"

#include <QtTest>

#include <QRegularExpression>
#include <QXmlStreamReader>

// The files that desktops and man read: a broken one fails silently for the user.
class TestPackaging : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void desktopEntryValidates();
    void desktopEntryPointsAtInstalledNames();
    void iconIsWellFormedSvg();
    void manPageFormatsCleanly();
    void manPageCoversEveryOption();

private:
    static QByteArray readPackagingFile(const QString &name);
    static QString run(const QString &program, const QStringList &args, int *exitCode);
};

QByteArray TestPackaging::readPackagingFile(const QString &name)
{
    QFile file(QStringLiteral(DRAVLIN_PACKAGING_DIR "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QString TestPackaging::run(const QString &program, const QStringList &args, int *exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(30000)) {
        *exitCode = -1;
        return QStringLiteral("did not finish: ") + process.errorString();
    }
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAll());
}

void TestPackaging::desktopEntryValidates()
{
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        QSKIP("desktop-file-validate is not installed (package desktop-file-utils)");
    int exitCode = 0;
    const QString output =
        run(validator, {QStringLiteral(DRAVLIN_PACKAGING_DIR "/dravlin.desktop")}, &exitCode);
    QVERIFY2(exitCode == 0, qPrintable(output));
    // Warnings leave the exit status at 0 but are still faults worth fixing.
    QVERIFY2(output.trimmed().isEmpty(), qPrintable(output));
}

void TestPackaging::desktopEntryPointsAtInstalledNames()
{
    const QString entry = QString::fromUtf8(readPackagingFile(QStringLiteral("dravlin.desktop")));
    QVERIFY(!entry.isEmpty());
    auto value = [&](const char *key) {
        const QRegularExpression re(QStringLiteral("^%1=(.*)$").arg(QLatin1String(key)),
                                    QRegularExpression::MultilineOption);
        return re.match(entry).captured(1).trimmed();
    };
    // Exec must find the installed binary on PATH, Icon the installed icon.
    QCOMPARE(value("Exec").section(QLatin1Char(' '), 0, 0), QStringLiteral(DRAVLIN_BINARY_NAME));
    QCOMPARE(value("Icon"), QStringLiteral("dravlin"));
    QVERIFY(QFile::exists(QStringLiteral(DRAVLIN_PACKAGING_DIR "/") + value("Icon")
                          + QStringLiteral(".svg")));
    QCOMPARE(value("Terminal"), QStringLiteral("false"));
}

void TestPackaging::iconIsWellFormedSvg()
{
    const QByteArray svg = readPackagingFile(QStringLiteral("dravlin.svg"));
    QVERIFY(!svg.isEmpty());
    QXmlStreamReader xml(svg);
    QVERIFY(xml.readNextStartElement());
    QCOMPARE(xml.name(), QLatin1String("svg"));
    QCOMPARE(xml.namespaceUri(), QLatin1String("http://www.w3.org/2000/svg"));
    // Scalable icons are drawn at any size, which needs a viewBox.
    QVERIFY(xml.attributes().hasAttribute(QLatin1String("viewBox")));
    while (!xml.atEnd())
        xml.readNext();
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
}

void TestPackaging::manPageFormatsCleanly()
{
    const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff"));
    if (groff.isEmpty())
        QSKIP("groff is not installed");
    int exitCode = 0;
    const QString output = run(groff,
                               {QStringLiteral("-k"), QStringLiteral("-man"),
                                QStringLiteral("-Tutf8"), QStringLiteral("-ww"),
                                QStringLiteral("-z"),
                                QStringLiteral(DRAVLIN_PACKAGING_DIR "/dravlin.1")},
                               &exitCode);
    QVERIFY2(exitCode == 0, qPrintable(output));
    QVERIFY2(output.trimmed().isEmpty(), qPrintable(output));
}

void TestPackaging::manPageCoversEveryOption()
{
    const QString page = QString::fromUtf8(readPackagingFile(QStringLiteral("dravlin.1")));
    QVERIFY(!page.isEmpty());
    CommandLine cl;
    QCOMPARE(cl.parse({QStringLiteral("dravlin"), QStringLiteral("--help")}),
             CommandLine::Outcome::ShowHelp);
    // Whatever option the program accepts, the page must document.
    const QRegularExpression optionName(QStringLiteral("^\\s+(?:-(\\w), )?--([\\w-]+)"),
                                        QRegularExpression::MultilineOption);
    int seen = 0;
    for (auto it = optionName.globalMatch(cl.helpText); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        ++seen;
        const QString longName = QStringLiteral("\\-\\-") + m.captured(2).replace(
                                     QLatin1Char('-'), QStringLiteral("\\-"));
        QVERIFY2(page.contains(longName), qPrintable(longName));
        if (m.hasCaptured(1))
            QVERIFY2(page.contains(QStringLiteral("\\-") + m.captured(1)), qPrintable(m.captured(1)));
    }
    QVERIFY2(seen >= 7, qPrintable(cl.helpText));
}

QTEST_GUILESS_MAIN(TestPackaging)
#include "tst_packaging.moc"
