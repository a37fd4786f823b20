#include "CommandLine.h"
#include "PaneView.h"
#include "WindowFrontEnd.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// A port nothing listens on right now, from the system; closed again at once.
QString freePortText()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return QString();
    return QString::number(probe.serverPort());
}

} // namespace

class TstWindowFrontEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void withoutOptionsTheWindowOpensAsDesigned();
    void optionsFillTheFieldsWithoutStarting();
    void startRelaysAtOnceOnTheGivenPorts();
    void badValuesWithStartAreReportedAsForAClick_data();
    void badValuesWithStartAreReportedAsForAClick();

private:
    MainWindow *open(QStringList arguments);
    QString field(const char *name);

    WindowFrontEnd *m_front = nullptr;
};

void TstWindowFrontEnd::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("dravlin"));
}

void TstWindowFrontEnd::init()
{
    m_front = new WindowFrontEnd;
}

void TstWindowFrontEnd::cleanup()
{
    delete m_front;
    m_front = nullptr;
}

MainWindow *TstWindowFrontEnd::open(QStringList arguments)
{
    CommandLine options;
    arguments.prepend(QStringLiteral("dravlin"));
    if (options.parse(arguments) != CommandLine::Outcome::Run)
        qFatal("options rejected: %s", qPrintable(options.errorText));
    m_front->open(options);
    return m_front->window();
}

QString TstWindowFrontEnd::field(const char *name)
{
    return m_front->window()->findChild<QLineEdit *>(QString::fromLatin1(name))->text();
}

void TstWindowFrontEnd::withoutOptionsTheWindowOpensAsDesigned()
{
    MainWindow *window = open({});
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCoreApplication::processEvents();
    QCOMPARE(field("txtPortClient"), QStringLiteral("25"));
    QCOMPARE(field("txtAdresseServeur"), QStringLiteral("192.168.0.1"));
    QCOMPARE(field("txtPortServeur"), QStringLiteral("25"));
    QVERIFY(window->findChild<QPushButton *>(QStringLiteral("cmdStart"))->isEnabled());
    QVERIFY(!window->relay().isArmed());
}

void TstWindowFrontEnd::optionsFillTheFieldsWithoutStarting()
{
    const QString port = freePortText();
    MainWindow *window = open({"--listen", port, "--server", "127.0.0.1"});
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCoreApplication::processEvents();
    QCOMPARE(field("txtPortClient"), port);
    QCOMPARE(field("txtAdresseServeur"), QStringLiteral("127.0.0.1"));
    // No server port given: it follows the local port, as typing it would.
    QCOMPARE(field("txtPortServeur"), port);
    QVERIFY(!window->relay().isArmed());
}

void TstWindowFrontEnd::startRelaysAtOnceOnTheGivenPorts()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QString port = freePortText();
    const QString serverAt = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
    MainWindow *window = open({"--listen", port, "--server", serverAt, "--start"});

    QCOMPARE(field("txtPortServeur"), QString::number(server.serverPort()));
    QTRY_VERIFY(!window->findChild<QPushButton *>(QStringLiteral("cmdStart"))->isEnabled());
    QTRY_COMPARE(window->relay().listeningPort(), port.toUShort());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port.toUShort());
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket *upstream = server.nextPendingConnection();
    upstream->write("220 bonjour\r\n");
    QTRY_COMPARE(window->conversation()->rowCount(), 1);
    QCOMPARE(window->conversation()->text(0, Side::Server), QStringLiteral("220 bonjour"));
}

void TstWindowFrontEnd::badValuesWithStartAreReportedAsForAClick_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("field");
    const QString local = QStringLiteral("Serveur sur le port");
    QTest::newRow("local port 0") << QStringList{"--listen", "0", "--server", "127.0.0.1"} << local;
    QTest::newRow("local port text") << QStringList{"--listen", "vingt", "--server", "127.0.0.1"} << local;
    QTest::newRow("server port too big")
        << QStringList{"--listen", freePortText(), "--server", "127.0.0.1:99999999999"}
        << QStringLiteral("Sur le port");
}

void TstWindowFrontEnd::badValuesWithStartAreReportedAsForAClick()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, field);
    QSignalSpy reported(m_front->window(), &MainWindow::errorReported);
    MainWindow *window = open(arguments << QStringLiteral("--start"));

    QTRY_COMPARE(reported.count(), 1);
    const QString message = reported.first().first().toString();
    QVERIFY2(message.contains(field), qPrintable(message));
    auto *box = window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
    QVERIFY(box);
    QCOMPARE(box->text(), message);
    // Still stopped, with the values shown for the user to correct.
    QVERIFY(window->findChild<QPushButton *>(QStringLiteral("cmdStart"))->isEnabled());
    QVERIFY(!window->relay().isArmed());
    QCOMPARE(this->field("txtPortClient"), arguments.at(1));
}

QTEST_MAIN(TstWindowFrontEnd)
#include "tst_windowfrontend.moc"
