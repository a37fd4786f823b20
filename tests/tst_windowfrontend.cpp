#include "CommandLine.h"
#include "PaneView.h"
#include "WindowFrontEnd.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

namespace {

QString freePortText()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? QString::number(probe.serverPort()) : QString();
}

MainWindow *open(WindowFrontEnd &front, const QStringList &arguments)
{
    CommandLine options;
    if (options.parse(QStringList{"dravlin"} + arguments) != CommandLine::Outcome::Run)
        qFatal("options rejected: %s", qPrintable(options.errorText));
    front.open(options);
    return front.window();
}

QString field(MainWindow *w, const char *name) { return w->findChild<QLineEdit *>(name)->text(); }
bool startEnabled(MainWindow *w) { return w->findChild<QPushButton *>("cmdStart")->isEnabled(); }

} // namespace

class TstWindowFrontEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void optionsFillTheFieldsWithoutStarting()
    {
        WindowFrontEnd front;
        const QString port = freePortText();
        MainWindow *window = open(front, {"--listen", port, "--server", "127.0.0.1"});
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCoreApplication::processEvents();
        QCOMPARE(field(window, "txtPortClient"), port);
        QCOMPARE(field(window, "txtAdresseServeur"), QStringLiteral("127.0.0.1"));
        QCOMPARE(field(window, "txtPortServeur"), port); // follows the local port, as typing would
        QVERIFY(startEnabled(window) && !window->relay().isArmed());
    }

    void startRelaysAtOnceOnTheGivenPorts()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const QString port = freePortText();
        WindowFrontEnd front;
        MainWindow *window = open(front, {"--listen", port, "--server",
                                          QStringLiteral("127.0.0.1:%1").arg(server.serverPort()),
                                          "--start"});
        QTRY_VERIFY(!startEnabled(window));
        QTRY_COMPARE(window->relay().listeningPort(), port.toUShort());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port.toUShort());
        QTRY_VERIFY(server.hasPendingConnections());
        server.nextPendingConnection()->write("220 bonjour\r\n");
        QTRY_COMPARE(window->conversation()->rowCount(), 1);
        QCOMPARE(window->conversation()->text(0, Side::Server), QStringLiteral("220 bonjour"));
    }

    void badValuesWithStartAreReportedAsForAClick_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("field");
        const QString local = QStringLiteral("Serveur sur le port");
        QTest::newRow("local port 0") << QStringList{"--listen", "0", "--server", "127.0.0.1"} << local;
        QTest::newRow("local port text")
            << QStringList{"--listen", "vingt", "--server", "127.0.0.1"} << local;
        QTest::newRow("server port too big")
            << QStringList{"--listen", freePortText(), "--server", "127.0.0.1:99999999999"}
            << QStringLiteral("Sur le port");
    }
    void badValuesWithStartAreReportedAsForAClick()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, field);
        WindowFrontEnd front;
        QSignalSpy reported(front.window(), &MainWindow::errorReported);
        MainWindow *window = open(front, arguments << QStringLiteral("--start"));
        QTRY_COMPARE(reported.count(), 1);
        const QString message = reported.first().first().toString();
        QVERIFY2(message.contains(field), qPrintable(message));
        auto *box = window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
        QVERIFY(box);
        QCOMPARE(box->text(), message);
        // Still stopped, with the values shown for the user to correct.
        QVERIFY(startEnabled(window) && !window->relay().isArmed());
        QCOMPARE(::field(window, "txtPortClient"), arguments.at(1));
    }
};

QTEST_MAIN(TstWindowFrontEnd)
#include "tst_windowfrontend.moc"
