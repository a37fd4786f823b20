#include "CommandLine.h"
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
