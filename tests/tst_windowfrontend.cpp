#include "CommandLine.h"
#include "Conversation.h"
#include "PaneView.h"
#include "WindowFrontEnd.h"
#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

// The window opened from the options: fields filled as if typed, --start clicked once shown.
class TstWindowFrontEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void badValueWithStartShownAndReportedAsForAClick()
    {
        CommandLine options;
        QVERIFY(options.parse({"dravlin", "--listen", "vingt", "--server", "127.0.0.1", "--start"})
                == CommandLine::Outcome::Run);
        WindowFrontEnd front;
        MainWindow *window = front.window();
        QSignalSpy reported(window, &MainWindow::errorReported);
        front.open(options);
        QTRY_COMPARE(reported.count(), 1);
        const auto *box = window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
        QVERIFY(box && box->text() == reported[0][0].toString() && box->text().contains("Serveur sur le port"));
        // Still stopped, the values shown as typed; the server port follows the local one.
        auto text = [window](const char *name) { return window->findChild<QLineEdit *>(name)->text(); };
        QCOMPARE(QStringList({text("txtPortClient"), text("txtAdresseServeur"), text("txtPortServeur")}),
                 QStringList({"vingt", "127.0.0.1", "vingt"}));
        QVERIFY(window->findChild<QPushButton *>("cmdStart")->isEnabled() && !window->relay().isArmed());
    }

    // --open shows the file once the window is up; an unreadable one is
    // boxed like a choice made in the window.
    void openShowsTheSavedConversation()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("c.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("14:03:22.418 -- 14:03:22.418 \xc2\xb7 client 127.0.0.1:40112 \xe2\x86\x92 127.0.0.1:25\n"
                   "14:03:22.420 S: 220 ok\n");
        file.close();
        for (const QString &path : {file.fileName(), dir.filePath(QStringLiteral("absent.txt"))}) {
            CommandLine options;
            QVERIFY(options.parse({"dravlin", "--open", path}) == CommandLine::Outcome::Run);
            WindowFrontEnd front;
            QSignalSpy reported(front.window(), &MainWindow::errorReported);
            front.open(options);
            if (path == file.fileName()) {
                QTRY_COMPARE(front.window()->conversation()->rowCount(), 2);
                QVERIFY(front.window()->conversation()->isMarker(0));
                QCOMPARE(front.window()->conversation()->text(1, Side::Server), QStringLiteral("220 ok"));
            } else {
                QTRY_COMPARE(reported.count(), 1);
                QVERIFY2(reported[0][0].toString().contains(QStringLiteral("absent.txt")), qPrintable(reported[0][0].toString()));
            }
        }
    }

    void startRelaysAtOnceOnTheGivenPorts()
    {
        QTcpServer server, probe; // the probe picks a free local port
        QVERIFY(server.listen(QHostAddress::LocalHost, 0) && probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        CommandLine options;
        QVERIFY(options.parse({"dravlin", "--listen", QString::number(port), "--server",
                               QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), "--start"})
                == CommandLine::Outcome::Run);
        WindowFrontEnd front;
        front.open(options);
        MainWindow *window = front.window();
        QTRY_COMPARE(window->relay().listeningPort(), port);
        QVERIFY(!window->findChild<QPushButton *>("cmdStart")->isEnabled());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY(server.hasPendingConnections());
        server.nextPendingConnection()->write("220 bonjour\r\n");
        QTRY_COMPARE(window->conversation()->rowCount(), 2); // the session's mark, then the greeting
        QVERIFY(window->conversation()->isMarker(0));
        QCOMPARE(window->conversation()->text(1, Side::Server), QStringLiteral("220 bonjour"));
    }
};

QTEST_MAIN(TstWindowFrontEnd)
#include "tst_windowfrontend.moc"
