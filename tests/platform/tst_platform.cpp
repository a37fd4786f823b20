#include "DisplayProbe.h"
#include "OwnerOnlyFiles.h"
#include "PrivateSaveFile.h"
#include "StreamCalls.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <functional>

// The system's operations fail loudly: each failure that can be provoked
// here comes back as false with the system's reason, and leaves nothing
// behind. And a display is asked for, never assumed from a variable.
namespace {

using Operation = std::function<bool(const QString &folder, QString *reason)>;

// A descriptor that is not a socket: every socket call on it fails.
bool onFile(const QString &folder, const std::function<bool(int, StreamCalls::Failure *)> &call, QString *reason)
{
    QFile file(folder + QStringLiteral("/plain"));
    if (!file.open(QIODevice::WriteOnly))
        return true;
    StreamCalls::Failure why;
    const bool ok = call(file.handle(), &why);
    *reason = why.text;
    return ok;
}

bool saveTo(const QString &path, QString *reason)
{
    PrivateSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly) && file.write("bytes") == 5 && file.commit();
    *reason = file.errorString();
    return ok;
}

} // namespace

Q_DECLARE_METATYPE(Operation)

class TestPlatform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void failuresComeBackWithTheSystemsReason_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::newRow("accepting what is no connection") << Operation([](const QString &folder, QString *reason) {
            QHostAddress peer;
            quint16 port = 0;
            return onFile(folder, [&](int fd, StreamCalls::Failure *why) {
                return StreamCalls::prepareAccepted(fd, &peer, &port, why);
            }, reason);
        });
        QTest::newRow("ending the sending of a file") << Operation([](const QString &folder, QString *reason) {
            return onFile(folder, [](int fd, StreamCalls::Failure *why) { return StreamCalls::shutdownSending(fd, why); },
                          reason);
        });
        QTest::newRow("sending at once on a file") << Operation([](const QString &folder, QString *reason) {
            return onFile(folder, [](int fd, StreamCalls::Failure *why) { return StreamCalls::sendAtOnce(fd, why); },
                          reason);
        });
        QTest::newRow("a reset where none can be") << Operation([](const QString &folder, QString *reason) {
            // The descriptor is closed here, the file's own close then finds
            // it gone; nothing opens another in between.
            return onFile(folder, [](int fd, StreamCalls::Failure *why) { return StreamCalls::close(fd, true, why); },
                          reason);
        });
        QTest::newRow("saving into a missing folder") << Operation([](const QString &folder, QString *reason) {
            return saveTo(folder + QStringLiteral("/missing/file"), reason);
        });
        QTest::newRow("saving over a folder") << Operation([](const QString &folder, QString *reason) {
            return QDir(folder).mkdir(QStringLiteral("taken")) && saveTo(folder + QStringLiteral("/taken"), reason);
        });
        QTest::newRow("a capture in a missing folder") << Operation([](const QString &folder, QString *reason) {
            QFile file;
            int error = 0;
            const bool ok = OwnerOnlyFiles::openForWriting(&file, folder + QStringLiteral("/missing/c.pcap"), &error);
            *reason = error == ENOENT ? QStringLiteral("ENOENT") : QString();
            return ok;
        });
    }
    void failuresComeBackWithTheSystemsReason()
    {
        QFETCH(Operation, operation);
        QTemporaryDir folder;
        QString reason;
        QVERIFY(!operation(folder.path(), &reason));
        QVERIFY(!reason.isEmpty());
        // Nothing half-made is left: at most the file the case made itself.
        QDir(folder.path()).remove(QStringLiteral("plain"));
        QVERIFY2(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).isEmpty(),
                 qPrintable(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).join(u' ')));
    }

    // The variables only say where to ask; an answer is what counts.
    void aDisplayIsAskedNotAssumed_data()
    {
        QTest::addColumn<QByteArray>("platform"); // QT_QPA_PLATFORM
        QTest::addColumn<QByteArray>("variable"); // the one that names the display, set to SOCKET's address
        QTest::addColumn<QByteArray>("address");  // SOCKET: the socket a server listens on
        QTest::addColumn<bool>("listening");
        QTest::newRow("Wayland answering") << QByteArray("wayland") << QByteArray("WAYLAND_DISPLAY")
                                           << QByteArray("SOCKET") << true;
        QTest::newRow("Wayland gone") << QByteArray("wayland") << QByteArray("WAYLAND_DISPLAY") << QByteArray("SOCKET")
                                      << false;
        QTest::newRow("X by socket path, answering") << QByteArray("xcb") << QByteArray("DISPLAY")
                                                     << QByteArray("SOCKET:0") << true;
        QTest::newRow("X by socket path, gone") << QByteArray() << QByteArray("DISPLAY") << QByteArray("SOCKET:0")
                                                << false;
        QTest::newRow("X named but unreadable") << QByteArray("xcb") << QByteArray("DISPLAY") << QByteArray("nowhere")
                                                << false;
    }
    void aDisplayIsAskedNotAssumed()
    {
        QFETCH(QByteArray, platform);
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, address);
        QFETCH(bool, listening);
        QTemporaryDir folder;
        const QByteArray socket = QFile::encodeName(folder.filePath(QStringLiteral("display")));
        QLocalServer server;
        const QString served = QFile::decodeName(address == "SOCKET:0" ? socket + ":0" : socket);
        QVERIFY(!listening || server.listen(served));
        const QList<QByteArray> names{"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM"};
        QList<QByteArray> saved;
        for (const QByteArray &name : names) {
            saved.append(qgetenv(name.constData()));
            qunsetenv(name.constData());
        }
        if (!platform.isEmpty())
            qputenv("QT_QPA_PLATFORM", platform);
        qputenv(variable.constData(), address.replace("SOCKET", socket));
        QString why;
        const bool answered = DisplayProbe::canOpen(&why);
        for (qsizetype i = 0; i < names.size(); ++i) {
            if (!saved.at(i).isEmpty())
                qputenv(names.at(i).constData(), saved.at(i));
        }
        QCOMPARE(answered, listening);
        QVERIFY2(answered || why.contains(QString::fromLocal8Bit(address)), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
