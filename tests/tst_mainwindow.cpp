#include "MainWindow.h"
#include "PaneView.h"
#include "RelaySettings.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

const QColor Red(255, 0, 0);
const QColor Green(0, 255, 0);

LineCapture::Rows rowsOf(const QList<QByteArray> &lines)
{
    LineCapture::Rows rows;
    for (const QByteArray &line : lines) {
        rows.spans.append({rows.buffer.size(), line.size()});
        rows.buffer.append(line);
    }
    return rows;
}

// A port nothing listens on right now, from the system; closed again at once.
QString freePortText()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return QString();
    return QString::number(probe.serverPort());
}

QString shown(const PaneView *pane, int row)
{
    return pane->model()->index(row, pane->modelColumn()).data().toString();
}

} // namespace

class TstMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    // The window as designed.
    void opensAsDesigned();
    void controlsStandWhereTheDesignPutsThem_data();
    void controlsStandWhereTheDesignPutsThem();
    void resizingGivesTheExtraToThePanes();
    void focusStartsInTheLocalPortAndFollowsTheTabColumn();

    // Clicks.
    void startAndStopSwitchTheStateAndOnlyStartClears();
    void localPortMirrorsIntoServerPortKeystrokeByKeystroke();
    void badInputIsReportedAndChangesNothing_data();
    void badInputIsReportedAndChangesNothing();
    void failedListenIsReportedAndStopsTheWindow();

    // Over real connections on loopback.
    void relayedConversationFillsThePanesAligned();
    void peerFaultsOnlyReachTheStatusLine();
    void closingShutsTheRelayDown();

private:
    template<typename T> T *control(const char *name);
    QColor etatColour();
    void expectStopped();
    void expectStarted();
    void useLoopbackServer(const QString &serverPort);

    MainWindow *m_window = nullptr;
};

template<typename T> T *TstMainWindow::control(const char *name)
{
    T *found = m_window->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

void TstMainWindow::init()
{
    m_window = new MainWindow;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TstMainWindow::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

QColor TstMainWindow::etatColour()
{
    // What is painted, not just what is asked for: a point of the panel clear
    // of its border and of the label.
    auto *frame = control<QFrame>("FrameEtat");
    const QColor asked = frame->palette().color(QPalette::Window);
    const QColor painted = frame->grab().toImage().pixelColor(10, 10);
    return asked == painted ? painted : QColor();
}

void TstMainWindow::expectStopped()
{
    QVERIFY(control<QPushButton>("cmdStart")->isEnabled());
    QVERIFY(!control<QPushButton>("cmdStop")->isEnabled());
    for (const char *field : {"txtPortClient", "txtAdresseServeur", "txtPortServeur"})
        QVERIFY2(control<QLineEdit>(field)->isEnabled(), field);
    QCOMPARE(etatColour(), Red);
    QCOMPARE(control<QLabel>("lblEtat")->text(), QStringLiteral("Serveur arrêté"));
}

void TstMainWindow::expectStarted()
{
    QVERIFY(!control<QPushButton>("cmdStart")->isEnabled());
    QVERIFY(control<QPushButton>("cmdStop")->isEnabled());
    for (const char *field : {"txtPortClient", "txtAdresseServeur", "txtPortServeur"})
        QVERIFY2(!control<QLineEdit>(field)->isEnabled(), field);
    QCOMPARE(etatColour(), Green);
    QCOMPARE(control<QLabel>("lblEtat")->text(), QStringLiteral("Serveur démarré"));
}

void TstMainWindow::useLoopbackServer(const QString &serverPort)
{
    const QString localPort = freePortText();
    QVERIFY(!localPort.isEmpty());
    m_window->setFieldTexts(localPort, QStringLiteral("127.0.0.1"), serverPort);
}

void TstMainWindow::opensAsDesigned()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("frmMain"));
    QVERIFY(m_window->windowTitle().startsWith(QStringLiteral("Dravlin ")));

    QCOMPARE(control<QGroupBox>("Frame1")->title(), QStringLiteral("Configuration"));
    const struct { const char *name; const char *text; } labels[] = {
        {"Label1", "Donnees recues du client"}, {"Label2", "Donnees recues du server"},
        {"Label3", "Serveur sur le port"},      {"Label4", "Redirige vers"},
        {"Label5", "Sur le port"},
    };
    for (const auto &l : labels)
        QCOMPARE(control<QLabel>(l.name)->text(), QString::fromUtf8(l.text));
    QCOMPARE(control<QLineEdit>("txtPortClient")->text(), QStringLiteral("25"));
    QCOMPARE(control<QLineEdit>("txtAdresseServeur")->text(), QStringLiteral("192.168.0.1"));
    QCOMPARE(control<QLineEdit>("txtPortServeur")->text(), QStringLiteral("25"));
    QCOMPARE(control<QPushButton>("cmdStart")->text(), QStringLiteral("Ecouter"));
    QCOMPARE(control<QPushButton>("cmdStop")->text(), QStringLiteral("Stop !"));
    expectStopped();

    auto *etat = control<QLabel>("lblEtat");
    QVERIFY(etat->alignment() & Qt::AlignHCenter);
    QVERIFY(control<QLabel>("Label1")->alignment() & Qt::AlignHCenter);
    QVERIFY(control<QLabel>("Label2")->alignment() & Qt::AlignHCenter);
    QCOMPARE(etat->font().families().first(), QStringLiteral("Arial Black"));
    QCOMPARE(etat->font().weight(), QFont::Bold);
    QCOMPARE(etat->font().pointSizeF(), 14.25);

    QCOMPARE(control<PaneView>("lstClient")->model()->rowCount(), 0);
    QCOMPARE(control<PaneView>("lstServeur")->model()->rowCount(), 0);
    QVERIFY(!m_window->relay().isArmed());
}

void TstMainWindow::controlsStandWhereTheDesignPutsThem_data()
{
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("twips");
    const struct { const char *name; const char *parent; int l, t, w, h; } design[] = {
        {"Frame1", "", 0, 0, 12375, 1215},
        {"Label3", "Frame1", 120, 480, 1455, 375},
        {"txtPortClient", "Frame1", 1680, 480, 615, 285},
        {"Label4", "Frame1", 2760, 240, 1215, 495},
        {"txtAdresseServeur", "Frame1", 3960, 240, 2895, 285},
        {"Label5", "Frame1", 2760, 840, 1215, 255},
        {"txtPortServeur", "Frame1", 3960, 840, 615, 285},
        {"cmdStart", "Frame1", 7440, 240, 1215, 375},
        {"cmdStop", "Frame1", 7440, 720, 1215, 375},
        {"FrameEtat", "Frame1", 8880, 120, 3495, 1095},
        {"lblEtat", "FrameEtat", 0, 360, 3495, 615},
        {"Label1", "", 0, 1200, 6135, 255},
        {"Label2", "", 6240, 1200, 6135, 255},
        {"lstClient", "", 0, 1440, 6135, 8445},
        {"lstServeur", "", 6240, 1440, 6135, 8445},
    };
    for (const auto &c : design)
        QTest::newRow(c.name) << QString::fromLatin1(c.parent) << QRect(c.l, c.t, c.w, c.h);
}

void TstMainWindow::controlsStandWhereTheDesignPutsThem()
{
    QFETCH(QString, parent);
    QFETCH(QRect, twips);
    if (m_window->logicalDpiX() != 96 || m_window->logicalDpiY() != 96)
        QSKIP("the design figures below are for 96 DPI (15 twips to the pixel)");

    const QByteArray name = QTest::currentDataTag();
    QWidget *widget = control<QWidget>(name.constData());
    QWidget *expectedParent = parent.isEmpty() ? m_window->centralWidget()
                                               : control<QWidget>(parent.toLatin1().constData());
    QCOMPARE(widget->parentWidget(), expectedParent);
    QCOMPARE(m_window->centralWidget()->size(), QSize(12405 / 15, 9915 / 15));
    QCOMPARE(widget->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15,
                                       twips.height() / 15));
}

void TstMainWindow::resizingGivesTheExtraToThePanes()
{
    QHash<QString, QRect> before;
    const char *names[] = {"Frame1", "txtPortClient", "FrameEtat", "lblEtat",
                           "Label1", "Label2", "lstClient", "lstServeur"};
    for (const char *name : names)
        before.insert(QString::fromLatin1(name), control<QWidget>(name)->geometry());

    const QSize area = m_window->centralWidget()->size();
    m_window->resize(m_window->size() + QSize(101, 40));
    QTRY_COMPARE(m_window->centralWidget()->size(), area + QSize(101, 40));

    for (const char *name : {"Frame1", "txtPortClient", "FrameEtat", "lblEtat"})
        QCOMPARE(control<QWidget>(name)->geometry(), before.value(QString::fromLatin1(name)));
    QCOMPARE(control<QWidget>("Label1")->geometry(), before.value("Label1").adjusted(0, 0, 50, 0));
    QCOMPARE(control<QWidget>("Label2")->geometry(), before.value("Label2").adjusted(50, 0, 101, 0));
    QCOMPARE(control<QWidget>("lstClient")->geometry(), before.value("lstClient").adjusted(0, 0, 50, 40));
    QCOMPARE(control<QWidget>("lstServeur")->geometry(),
             before.value("lstServeur").adjusted(50, 0, 101, 40));

    // Back to the design size, back to the design places.
    m_window->resize(m_window->size() - QSize(101, 40));
    QTRY_COMPARE(control<QWidget>("lstServeur")->geometry(), before.value("lstServeur"));
}

void TstMainWindow::focusStartsInTheLocalPortAndFollowsTheTabColumn()
{
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QCOMPARE(QApplication::focusWidget(), control<QWidget>("txtPortClient"));

    // cmdStop is disabled at opening, so Tab passes it by.
    const char *order[] = {"txtAdresseServeur", "txtPortServeur", "cmdStart",
                           "lstClient",         "lstServeur",     "txtPortClient"};
    for (const char *next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
    }
    // And cmdStop stands between cmdStart and the panes.
    QCOMPARE(control<QWidget>("cmdStart")->nextInFocusChain(), control<QWidget>("cmdStop"));
}

void TstMainWindow::startAndStopSwitchTheStateAndOnlyStartClears()
{
    useLoopbackServer(freePortText());
    Conversation *conversation = m_window->conversation();
    conversation->appendRows(Side::Client, rowsOf({"before", "start"}), 0);

    m_window->clickStart();
    expectStarted();
    QCOMPARE(conversation->rowCount(), 0);
    QVERIFY(m_window->relay().isArmed());

    conversation->appendRows(Side::Server, rowsOf({"kept"}), 0);
    control<QPushButton>("cmdStop")->click();
    expectStopped();
    QCOMPARE(conversation->rowCount(), 1);
    QVERIFY(!m_window->relay().isArmed());
    QCOMPARE(m_window->relay().listeningPort(), quint16(0));

    // Clicks on a disabled button do nothing.
    control<QPushButton>("cmdStop")->click();
    expectStopped();
}

void TstMainWindow::localPortMirrorsIntoServerPortKeystrokeByKeystroke()
{
    auto *local = control<QLineEdit>("txtPortClient");
    auto *server = control<QLineEdit>("txtPortServeur");
    local->setFocus();
    local->selectAll();
    QTest::keyClick(local, Qt::Key_Backspace);
    QCOMPARE(server->text(), QString());
    for (const char *expected : {"1", "11", "110"}) {
        QTest::keyClick(local, expected[qstrlen(expected) - 1]);
        QCOMPARE(server->text(), QString::fromLatin1(expected));
    }
    QTest::keyClick(local, Qt::Key_Backspace);
    QCOMPARE(server->text(), QStringLiteral("11"));

    // Nothing flows back.
    server->setFocus();
    QTest::keyClick(server, '5');
    QCOMPARE(server->text(), QStringLiteral("115"));
    QCOMPARE(local->text(), QStringLiteral("11"));
}

void TstMainWindow::badInputIsReportedAndChangesNothing_data()
{
    QTest::addColumn<QString>("localPort");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("serverPort");
    QTest::addColumn<QString>("field");
    const QString ok = freePortText();
    const QString local = QStringLiteral("Serveur sur le port");
    const QString remote = QStringLiteral("Sur le port");
    const QString host = QStringLiteral("127.0.0.1");
    QTest::newRow("empty local port") << "" << host << ok << local;
    QTest::newRow("local port not a number") << "2 5" << host << ok << local;
    QTest::newRow("local port 0") << "0" << host << ok << local;
    QTest::newRow("local port 65536") << "65536" << host << ok << local;
    QTest::newRow("local port negative") << "-25" << host << ok << local;
    QTest::newRow("empty server port") << ok << host << "" << remote;
    QTest::newRow("server port too big") << ok << host << "99999999999" << remote;
    QTest::newRow("empty host") << ok << "" << ok << QStringLiteral("Redirige vers");
    QTest::newRow("blank host") << ok << "   " << ok << QStringLiteral("Redirige vers");
}

void TstMainWindow::badInputIsReportedAndChangesNothing()
{
    QFETCH(QString, localPort);
    QFETCH(QString, host);
    QFETCH(QString, serverPort);
    QFETCH(QString, field);
    m_window->setFieldTexts(localPort, host, serverPort);
    m_window->conversation()->appendRows(Side::Client, rowsOf({"earlier", "rows"}), 0);
    QSignalSpy reported(m_window, &MainWindow::errorReported);

    m_window->clickStart();

    QCOMPARE(reported.count(), 1);
    const QString message = reported.first().first().toString();
    QVERIFY2(message.contains(field), qPrintable(message));
    auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
    QVERIFY(box);
    QVERIFY(box->isVisible());
    QCOMPARE(box->text(), message);

    expectStopped();
    QCOMPARE(control<QLineEdit>("txtPortClient")->text(), localPort);
    QCOMPARE(control<QLineEdit>("txtAdresseServeur")->text(), host);
    QCOMPARE(control<QLineEdit>("txtPortServeur")->text(), serverPort);
    QCOMPARE(m_window->conversation()->rowCount(), 2);
    QVERIFY(!m_window->relay().isArmed());
    QVERIFY(m_window->isVisible());

    box->accept();
    QTRY_VERIFY(!m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur")));
}

void TstMainWindow::failedListenIsReportedAndStopsTheWindow()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    m_window->setFieldTexts(QString::number(taken.serverPort()), QStringLiteral("127.0.0.1"),
                            freePortText());
    QSignalSpy reported(m_window, &MainWindow::errorReported);

    m_window->clickStart();
    expectStarted();
    QTRY_COMPARE(reported.count(), 1);

    expectStopped();
    QVERIFY(!m_window->relay().isArmed());
    const QString message = reported.first().first().toString();
    QVERIFY(control<QLabel>("lblEvenement")->text().contains(message));
    QCOMPARE(m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"))->text(), message);

    // And it can be started again once the port is free.
    taken.close();
    m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"))->accept();
    m_window->clickStart();
    expectStarted();
    QTRY_COMPARE(m_window->relay().listeningPort(), control<QLineEdit>("txtPortClient")->text().toUShort());
    QCOMPARE(reported.count(), 1);
}

void TstMainWindow::relayedConversationFillsThePanesAligned()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    m_window->setFieldTexts(QStringLiteral("1"), QStringLiteral("127.0.0.1"),
                            QString::number(server.serverPort()));
    m_window->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.serverPort()});
    expectStarted();
    QTRY_VERIFY(m_window->relay().listeningPort() != 0);
    const quint16 port = m_window->relay().listeningPort();
    auto *status = control<QLabel>("lblEvenement");
    QVERIFY2(status->text().contains(QString::number(port)), qPrintable(status->text()));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket *upstream = server.nextPendingConnection();

    QByteArray atClient;
    QByteArray atServer;
    auto exchange = [&](QTcpSocket *from, QByteArray *arrived, QTcpSocket *to, const QByteArray &data) {
        const qsizetype expected = arrived->size() + data.size();
        from->write(data);
        QTRY_COMPARE_WITH_TIMEOUT((arrived->append(to->readAll()), arrived->size()), expected, 5000);
    };
    exchange(upstream, &atClient, &client, "220 bienvenue\r\n");
    exchange(&client, &atServer, upstream, "EHLO test\r\nMAIL FROM:<a@b>\r\n");
    QByteArray many;
    for (int i = 0; i < 100; ++i)
        many += "250-ligne " + QByteArray::number(i) + "\r\n";
    exchange(upstream, &atClient, &client, many);

    auto *lstClient = control<PaneView>("lstClient");
    auto *lstServeur = control<PaneView>("lstServeur");
    QTRY_COMPARE(lstClient->model()->rowCount(), 103);
    QCOMPARE(lstServeur->model()->rowCount(), 103);
    const QStringList client3 = {" ", "EHLO test", "MAIL FROM:<a@b>"};
    const QStringList server3 = {"220 bienvenue", " ", " "};
    for (int r = 0; r < 3; ++r) {
        QCOMPARE(shown(lstClient, r), client3[r]);
        QCOMPARE(shown(lstServeur, r), server3[r]);
    }
    QCOMPARE(shown(lstClient, 102), QStringLiteral(" "));
    QCOMPARE(shown(lstServeur, 102), QStringLiteral("250-ligne 99"));

    // The panes stay where the user left them while traffic flows.
    QTRY_VERIFY(lstClient->verticalScrollBar()->maximum() > 20);
    QCOMPARE(lstClient->firstVisibleRow(), 0);
    QCOMPARE(lstServeur->firstVisibleRow(), 0);
    lstServeur->verticalScrollBar()->setValue(20);
    exchange(&client, &atServer, upstream, "QUIT\r\n");
    QTRY_COMPARE(lstClient->model()->rowCount(), 104);
    QCOMPARE(shown(lstClient, 103), QStringLiteral("QUIT"));
    QCOMPARE(lstClient->firstVisibleRow(), 20);
    QCOMPARE(lstServeur->firstVisibleRow(), 20);

    // The bytes went through untouched.
    QCOMPARE(atServer, QByteArray("EHLO test\r\nMAIL FROM:<a@b>\r\nQUIT\r\n"));
    QCOMPARE(atClient, "220 bienvenue\r\n" + many);
}

void TstMainWindow::peerFaultsOnlyReachTheStatusLine()
{
    // The server port is closed: the relay's dial is refused.
    useLoopbackServer(freePortText());
    QSignalSpy reported(m_window, &MainWindow::errorReported);
    m_window->clickStart();
    QTRY_VERIFY(m_window->relay().listeningPort() != 0);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_window->relay().listeningPort());
    auto *status = control<QLabel>("lblEvenement");
    QTRY_VERIFY2(status->text().contains(QStringLiteral("impossible")), qPrintable(status->text()));
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    // Re-armed for the next client, and the window never noticed.
    QTRY_VERIFY(status->text().contains(QStringLiteral("écoute"), Qt::CaseInsensitive));
    QCOMPARE(reported.count(), 0);
    QVERIFY(!m_window->findChild<QMessageBox *>());
    expectStarted();
}

void TstMainWindow::closingShutsTheRelayDown()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    m_window->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.serverPort()});
    QTRY_VERIFY(m_window->relay().listeningPort() != 0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_window->relay().listeningPort());
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket *upstream = server.nextPendingConnection();
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);

    QVERIFY(m_window->close());

    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(upstream->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!m_window->relay().isArmed());
    QCOMPARE(m_window->relay().listeningPort(), quint16(0));
}

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
