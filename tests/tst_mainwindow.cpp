#include "MainWindow.h"
#include "PaneView.h"
#include "RelaySettings.h"

#include <QFrame>
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

const LineCapture::Rows TwoRows{"ab", {{0, 1}, {1, 1}}, {}, 0};

// A port nothing listens on right now, from the system; closed again at once.
QString freePortText()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? QString::number(probe.serverPort()) : QString();
}

QString shown(const PaneView *pane, int row)
{
    return pane->model()->index(row, pane->modelColumn()).data().toString();
}

const char *const Fields[] = {"txtPortClient", "txtAdresseServeur", "txtPortServeur"};

} // namespace

class TstMainWindow : public QObject
{
    Q_OBJECT
    MainWindow *m_window = nullptr;

    template<typename T = QWidget> T *control(const char *name)
    {
        T *found = m_window->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no control %s", name);
        return found;
    }
    QString text(const char *name) { return control<QLineEdit>(name)->text(); }

    void expectState(bool started)
    {
        QCOMPARE(control<QPushButton>("cmdStart")->isEnabled(), !started);
        QCOMPARE(control<QPushButton>("cmdStop")->isEnabled(), started);
        for (const char *field : Fields)
            QVERIFY2(control<QLineEdit>(field)->isEnabled() == !started, field);
        // What is painted, not just what is asked for, clear of border and label.
        auto *frame = control<QFrame>("FrameEtat");
        const QColor colour = started ? QColor(0, 255, 0) : QColor(255, 0, 0);
        QCOMPARE(frame->palette().color(QPalette::Window), colour);
        QCOMPARE(frame->grab().toImage().pixelColor(10, 10), colour);
        QCOMPARE(control<QLabel>("lblEtat")->text(),
                 started ? QStringLiteral("Serveur démarré") : QStringLiteral("Serveur arrêté"));
    }

private Q_SLOTS:
    void init()
    {
        m_window = new MainWindow;
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }
    void cleanup() { delete m_window; }

    void controlsAsDesigned_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("twips");
        const struct { const char *name, *parent, *text; int l, t, w, h; } design[] = {
            {"Frame1", "clientArea", "Configuration", 0, 0, 12375, 1215},
            {"Label3", "Frame1", "Serveur sur le port", 120, 480, 1455, 375},
            {"txtPortClient", "Frame1", "25", 1680, 480, 615, 285},
            {"Label4", "Frame1", "Redirige vers", 2760, 240, 1215, 495},
            {"txtAdresseServeur", "Frame1", "192.168.0.1", 3960, 240, 2895, 285},
            {"Label5", "Frame1", "Sur le port", 2760, 840, 1215, 255},
            {"txtPortServeur", "Frame1", "25", 3960, 840, 615, 285},
            {"cmdStart", "Frame1", "Ecouter", 7440, 240, 1215, 375},
            {"cmdStop", "Frame1", "Stop !", 7440, 720, 1215, 375},
            {"FrameEtat", "Frame1", nullptr, 8880, 120, 3495, 1095},
            {"lblEtat", "FrameEtat", "Serveur arrêté", 0, 360, 3495, 615},
            {"Label1", "clientArea", "Donnees recues du client", 0, 1200, 6135, 255},
            {"Label2", "clientArea", "Donnees recues du server", 6240, 1200, 6135, 255},
            {"lstClient", "clientArea", nullptr, 0, 1440, 6135, 8445},
            {"lstServeur", "clientArea", nullptr, 6240, 1440, 6135, 8445},
        };
        for (const auto &c : design)
            QTest::newRow(c.name) << c.parent << QString::fromUtf8(c.text) << QRect(c.l, c.t, c.w, c.h);
    }
    void controlsAsDesigned()
    {
        QFETCH(QString, parent);
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        QCOMPARE(m_window->objectName(), QStringLiteral("frmMain"));
        QWidget *widget = control(QTest::currentDataTag());
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        if (!text.isNull()) // labels, fields and buttons have "text", the group box "title"
            QCOMPARE(widget->property(widget->property("text").isValid() ? "text" : "title").toString(), text);
        if (m_window->logicalDpiX() != 96 || m_window->logicalDpiY() != 96)
            QSKIP("the design figures are for 96 DPI (15 twips to the pixel)");
        QCOMPARE(m_window->centralWidget()->size(), QSize(12405 / 15, 9915 / 15));
        QCOMPARE(widget->geometry(), QRect(twips.topLeft() / 15, twips.size() / 15));
    }

    void resizingGivesTheExtraToThePanes()
    {
        const char *names[] = {"Frame1", "txtPortClient", "FrameEtat", "Label1", "Label2", "lstClient", "lstServeur"};
        QHash<QString, QRect> was;
        for (const char *name : names)
            was.insert(name, control(name)->geometry());
        const QSize area = m_window->centralWidget()->size();
        m_window->resize(m_window->size() + QSize(101, 40));
        QTRY_COMPARE(m_window->centralWidget()->size(), area + QSize(101, 40));
        for (const char *name : {"Frame1", "txtPortClient", "FrameEtat"})
            QCOMPARE(control(name)->geometry(), was.value(name));
        QCOMPARE(control("Label1")->geometry(), was.value("Label1").adjusted(0, 0, 50, 0));
        QCOMPARE(control("Label2")->geometry(), was.value("Label2").adjusted(50, 0, 101, 0));
        QCOMPARE(control("lstClient")->geometry(), was.value("lstClient").adjusted(0, 0, 50, 40));
        QCOMPARE(control("lstServeur")->geometry(), was.value("lstServeur").adjusted(50, 0, 101, 40));
    }

    void focusStartsInTheLocalPortAndFollowsTheTabColumn()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QCOMPARE(QApplication::focusWidget(), control("txtPortClient"));
        // cmdStop, disabled at opening, stands between cmdStart and the panes.
        QCOMPARE(control("cmdStart")->nextInFocusChain(), control("cmdStop"));
        for (const char *next : {"txtAdresseServeur", "txtPortServeur", "cmdStart", "lstClient", "lstServeur", "txtPortClient"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
        }
    }

    void startClearsStopKeepsAndARefusedServerOnlyReachesTheStatusLine()
    {
        expectState(false);
        const QString local = freePortText();
        QString remote;
        do remote = freePortText(); while (remote == local); // else the relay dials itself
        m_window->setFieldTexts(local, QStringLiteral("127.0.0.1"), remote);
        Conversation *conversation = m_window->conversation();
        conversation->appendRows(Side::Client, TwoRows, 0);
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        expectState(true);
        QCOMPARE(conversation->rowCount(), 0);
        QTRY_COMPARE(m_window->relay().listeningPort(), text("txtPortClient").toUShort());

        // Nothing listens on the server port: the relay's dial is refused.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_window->relay().listeningPort());
        auto *status = control<QLabel>("lblEvenement");
        QTRY_VERIFY2(status->text().contains(QStringLiteral("impossible")), qPrintable(status->text()));
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(status->text().contains(QStringLiteral("écoute"), Qt::CaseInsensitive)); // re-armed
        QCOMPARE(reported.count(), 0);
        QVERIFY(!m_window->findChild<QMessageBox *>());
        expectState(true);

        conversation->appendRows(Side::Server, TwoRows, 0);
        control<QPushButton>("cmdStop")->click();
        expectState(false);
        QCOMPARE(conversation->rowCount(), 2);
        QVERIFY(!m_window->relay().isArmed());
    }

    void localPortMirrorsIntoServerPortKeystrokeByKeystroke()
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
        server->setFocus(); // nothing flows back
        QTest::keyClick(server, '5');
        QCOMPARE(server->text(), QStringLiteral("1105"));
        QCOMPARE(local->text(), QStringLiteral("110"));
    }

    void badInputIsReportedAndChangesNothing_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("named");
        const QString ok = freePortText(), host = QStringLiteral("127.0.0.1");
        const QString local = QStringLiteral("Serveur sur le port");
        QTest::newRow("empty local port") << QStringList{"", host, ok} << local;
        QTest::newRow("local port not a number") << QStringList{"abc", host, ok} << local;
        QTest::newRow("local port 0") << QStringList{"0", host, ok} << local;
        QTest::newRow("server port 65536") << QStringList{ok, host, "65536"} << QStringLiteral("Sur le port");
        QTest::newRow("empty host") << QStringList{ok, "", ok} << QStringLiteral("Redirige vers");
    }
    void badInputIsReportedAndChangesNothing()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, named);
        m_window->setFieldTexts(fields[0], fields[1], fields[2]);
        m_window->conversation()->appendRows(Side::Client, TwoRows, 0);
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        QCOMPARE(reported.count(), 1);
        const QString message = reported.first().first().toString();
        QVERIFY2(message.contains(named), qPrintable(message));
        auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->text(), message);
        expectState(false);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(text(Fields[i]), fields[i]);
        QCOMPARE(m_window->conversation()->rowCount(), 2);
        QVERIFY(!m_window->relay().isArmed());
    }

    void failedListenIsReportedAndStopsTheWindow()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        m_window->setFieldTexts(QString::number(taken.serverPort()), QStringLiteral("127.0.0.1"), freePortText());
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        expectState(true);
        QTRY_COMPARE(reported.count(), 1);
        expectState(false);
        QVERIFY(!m_window->relay().isArmed());
        const QString message = reported.first().first().toString();
        QVERIFY(control<QLabel>("lblEvenement")->text().contains(message));
        QCOMPARE(m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"))->text(), message);
    }

    void relayedConversationFillsThePanesAlignedUntilClosing()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        m_window->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.serverPort()});
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        const quint16 port = m_window->relay().listeningPort();
        QVERIFY(control<QLabel>("lblEvenement")->text().contains(QString::number(port)));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *upstream = server.nextPendingConnection();
        QByteArray atClient, atServer;
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
        const QStringList client3 = {" ", "EHLO test", "MAIL FROM:<a@b>"}, server3 = {"220 bienvenue", " ", " "};
        for (int r = 0; r < 3; ++r) {
            QCOMPARE(shown(lstClient, r), client3[r]);
            QCOMPARE(shown(lstServeur, r), server3[r]);
        }
        QCOMPARE(shown(lstClient, 102), QStringLiteral(" "));
        QCOMPARE(shown(lstServeur, 102), QStringLiteral("250-ligne 99"));

        // The panes stay where the user left them while traffic flows.
        QTRY_VERIFY(lstClient->verticalScrollBar()->maximum() > 20);
        lstServeur->verticalScrollBar()->setValue(20);
        exchange(&client, &atServer, upstream, "QUIT\r\n");
        QTRY_COMPARE(lstClient->model()->rowCount(), 104);
        QCOMPARE(shown(lstClient, 103), QStringLiteral("QUIT"));
        QCOMPARE(lstClient->firstVisibleRow(), 20);
        QCOMPARE(lstServeur->firstVisibleRow(), 20);
        QCOMPARE(atServer, QByteArray("EHLO test\r\nMAIL FROM:<a@b>\r\nQUIT\r\n"));
        QCOMPARE(atClient, "220 bienvenue\r\n" + many);

        QVERIFY(m_window->close());
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(upstream->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!m_window->relay().isArmed());
    }
};

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
