#include "CertificateAuthority.h"
#include "Conversation.h"
#include "FakeServer.h"
#include "LoopbackPeer.h"
#include "MainWindow.h"
#include "RawPeer.h"
#include "RelaySettings.h"
#include "ReplyClass.h"
#include "RowDelegate.h"
#include "RowsFixture.h"
#include "StartTlsClient.h"

#include <QtTest>
#include <QtWidgets>

static QString freePortText() // one nothing listens on right now, from the system
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? QString::number(probe.serverPort()) : QString();
}

static const char *const Fields[] = {"txtPortClient", "txtAdresseServeur", "txtPortServeur", "chkTls", "chkTlsInsecure"};

class TstMainWindow : public QObject
{
    Q_OBJECT
    MainWindow *m_window = nullptr;

    template<typename T = QWidget> T *control(const char *name)
    {
        if (T *found = m_window->findChild<T *>(QString::fromLatin1(name)))
            return found;
        qFatal("no control %s", name);
    }
    QString status() { return control<QLabel>("lblEvenement")->text(); }
    QString boxedMessage(const QSignalSpy &reported) // the one message reported, also in the box; else empty
    {
        auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
        const QString message = reported.count() == 1 ? reported.first().first().toString() : QString();
        return box && box->isVisible() && box->text() == message ? message : QString();
    }
    void expectState(bool started)
    {
        QCOMPARE(control<QPushButton>("cmdStart")->isEnabled(), !started);
        QCOMPARE(control<QPushButton>("cmdStop")->isEnabled(), started);
        for (const char *field : Fields)
            QVERIFY2(control(field)->isEnabled() == !started, field);
        const QColor colour = started ? QColor(0, 255, 0) : QColor(255, 0, 0);
        QCOMPARE(control<QFrame>("FrameEtat")->palette().color(QPalette::Window), colour);
        QCOMPARE(control<QFrame>("FrameEtat")->grab().toImage().pixelColor(10, 10), colour); // as painted
        QCOMPARE(control<QLabel>("lblEtat")->text(), QString::fromUtf8(started ? "Serveur démarré" : "Serveur arrêté"));
    }

private Q_SLOTS:
    void init()
    {
        m_window = new MainWindow;
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }
    void cleanup() { delete m_window; }

    void controlsAsDesigned()
    {
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
        QCOMPARE(m_window->objectName(), QStringLiteral("frmMain"));
        const bool at96 = m_window->logicalDpiX() == 96 && m_window->logicalDpiY() == 96; // 15 twips a pixel
        const QSize designed = m_window->designClientSize(), screen = m_window->screen()->availableSize();
        // At the design size, unless the screen is smaller: then within it.
        QVERIFY(m_window->centralWidget()->size() == designed
                || (m_window->width() <= screen.width() && m_window->height() <= screen.height()));
        m_window->resize(m_window->size() - m_window->centralWidget()->size() + designed);
        QTRY_COMPARE(m_window->centralWidget()->size(), designed);
        if (at96)
            QCOMPARE(designed, QSize(12405 / 15, 9915 / 15));
        for (const auto &c : design) {
            QWidget *widget = control(c.name);
            QCOMPARE(widget->parentWidget()->objectName(), QString::fromLatin1(c.parent));
            if (c.text) // labels, fields and buttons have "text", the group box "title"
                QCOMPARE(widget->property(widget->property("text").isValid() ? "text" : "title").toString(),
                         QString::fromUtf8(c.text));
            if (at96)
                QCOMPARE(widget->geometry(), QRect(c.l / 15, c.t / 15, c.w / 15, c.h / 15));
        }
        // The TLS boxes, not in the design, take room it left free in Frame1, whole.
        for (const char *box : {"chkTls", "chkTlsInsecure"}) {
            QWidget *added = control(box);
            QVERIFY2(added->parentWidget() == control("Frame1") && added->sizeHint().width() <= added->width()
                         && control("Frame1")->rect().contains(added->geometry()), box);
            for (const auto &c : design)
                QVERIFY2(control(c.name)->parentWidget() != added->parentWidget()
                             || !control(c.name)->geometry().intersects(added->geometry()), c.name);
        }
        if (!at96)
            QSKIP("geometry is designed for 96 DPI");
    }
    void shrinksBelowTheDesignPanesFirstEverythingStillInside()
    {
        const QSize design = m_window->designClientSize();
        QWidget *area = m_window->centralWidget();
        const QRect frameAtDesign = QRect(QPoint(), design); // placed from the design at any size above it
        m_window->resize(m_window->size() - area->size() + design);
        QTRY_COMPARE(area->size(), design);
        const QRect stopAtDesign = control("cmdStop")->geometry(), paneAtDesign = control("lstClient")->geometry();
        // 1280x1024 at a scale factor of 2, less a window frame: what must fit.
        const QSize small(620, 470);
        QVERIFY(area->minimumSize().width() <= small.width() && area->minimumSize().height() <= small.height());
        m_window->resize(m_window->size() - area->size() + small);
        QTRY_COMPARE(area->size(), small);
        QCOMPARE(control("cmdStop")->geometry().height(), stopAtDesign.height()); // the top row only narrows
        for (const char *name : {"Frame1", "lstClient", "lstServeur", "Label1", "Label2"})
            QVERIFY2(frameAtDesign.intersected(area->rect()).contains(control(name)->geometry()), name);
        for (const char *name : {"FrameEtat", "cmdStop", "txtAdresseServeur"})
            QVERIFY2(control("Frame1")->rect().contains(control(name)->geometry()), name);
        QVERIFY(!control("lstClient")->geometry().intersects(control("lstServeur")->geometry()));
        QCOMPARE(control("lstClient")->height(), paneAtDesign.height() - (design.height() - small.height()));
        m_window->resize(m_window->size() - area->size() + design); // and back, exactly as designed
        QTRY_COMPARE(control("cmdStop")->geometry(), stopAtDesign);
    }
    void focusFollowsTheTabColumnAndTheLocalPortMirrorsKeystrokeByKeystroke()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QCOMPARE(QApplication::focusWidget(), control("txtPortClient"));
        QCOMPARE(control("cmdStart")->nextInFocusChain(), control("cmdStop")); // though disabled at opening
        for (const char *next : {"txtAdresseServeur", "txtPortServeur", "chkTls", "chkTlsInsecure", "cmdStart", "lstClient", "lstServeur", "txtPortClient"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
        }
        // Typing in the local port, back here now, mirrors into the server port; nothing flows back.
        QLineEdit *local = control<QLineEdit>("txtPortClient"), *server = control<QLineEdit>("txtPortServeur");
        local->selectAll();
        QTest::keyClick(local, Qt::Key_Backspace);
        QCOMPARE(server->text(), QString());
        for (const char *expected : {"1", "11", "110"}) {
            QTest::keyClick(local, expected[qstrlen(expected) - 1]);
            QCOMPARE(server->text(), QString::fromLatin1(expected));
        }
        server->setFocus();
        QTest::keyClick(server, '5');
        QCOMPARE(server->text(), QStringLiteral("1105"));
        QCOMPARE(local->text(), QStringLiteral("110"));
    }
    void startClearsStopKeepsARefusedServerOnlyReachesTheStatusLineAFailedListenStops()
    {
        expectState(false);
        const QString local = freePortText();
        QString remote;
        do remote = freePortText(); while (remote == local); // else the relay dials itself
        m_window->setFieldTexts(local, QStringLiteral("127.0.0.1"), remote);
        m_window->conversation()->appendRows(Side::Client, rowsOf({"a", "b"}), 0);
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        expectState(true);
        QCOMPARE(m_window->conversation()->rowCount(), 0);
        QTRY_COMPARE(m_window->relay().listeningPort(), local.toUShort());
        LoopbackPeer client; // nothing listens on the server port: the relay's dial is refused
        client.connectTo(m_window->relay().listeningPort());
        QTRY_VERIFY2(status().contains(QStringLiteral("impossible")), qPrintable(status()));
        QVERIFY(client.waitForDisconnected());
        QTRY_VERIFY(status().contains(QStringLiteral("écoute"), Qt::CaseInsensitive)); // re-armed
        QCOMPARE(reported.count(), 0);
        QVERIFY(!m_window->findChild<QMessageBox *>());
        expectState(true);
        // The refused session left its two marks, the second saying why it ended.
        QTRY_COMPARE(m_window->conversation()->rowCount(), 2);
        QVERIFY(m_window->conversation()->isMarker(0) && m_window->conversation()->isMarker(1));
        QVERIFY2(m_window->conversation()->markerText(1).contains(QStringLiteral("serveur injoignable")),
                 qPrintable(m_window->conversation()->markerText(1)));
        m_window->conversation()->appendRows(Side::Server, rowsOf({"a", "b"}), 0);
        control<QPushButton>("cmdStop")->click();
        expectState(false);
        QCOMPARE(m_window->conversation()->rowCount(), 4);
        QVERIFY(!m_window->relay().isArmed());
        QTcpServer taken; // a port in use fails at the tick, back to stopped with the message boxed
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        m_window->setFieldTexts(QString::number(taken.serverPort()), QStringLiteral("127.0.0.1"), remote);
        m_window->clickStart();
        expectState(true);
        QTRY_COMPARE(reported.count(), 1);
        expectState(false);
        QVERIFY(!m_window->relay().isArmed());
        const QString message = boxedMessage(reported);
        QVERIFY(!message.isEmpty() && status().contains(message));
    }
    void badInputIsReportedAndChangesNothing_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("named");
        const QString ok = freePortText(), host = QStringLiteral("127.0.0.1");
        QTest::newRow("local port 0") << QStringList{"0", host, ok} << "Serveur sur le port";
        QTest::newRow("server port 65536") << QStringList{ok, host, "65536"} << "Sur le port";
        QTest::newRow("empty host") << QStringList{ok, "", ok} << "Redirige vers";
    }
    void badInputIsReportedAndChangesNothing()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, named);
        m_window->setFieldTexts(fields[0], fields[1], fields[2]);
        m_window->conversation()->appendRows(Side::Client, rowsOf({"a", "b"}), 0);
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        const QString message = boxedMessage(reported);
        QVERIFY2(message.contains(named), qPrintable(message));
        expectState(false);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(control<QLineEdit>(Fields[i])->text(), fields[i]);
        QCOMPARE(m_window->conversation()->rowCount(), 2);
        QVERIFY(!m_window->relay().isArmed());
    }
    void relayedConversationFillsThePanesAlignedUntilClosing()
    {
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        server.setGreeting("220 bienvenue\r\n");
        m_window->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.serverPort()});
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        QVERIFY(status().contains(QString::number(m_window->relay().listeningPort())));
        client.connectTo(m_window->relay().listeningPort());
        QVERIFY(client.waitForReceived(15));
        client.send("EHLO test\r\nMAIL FROM:<a@b>\r\n");
        QVERIFY(server.waitForReceived(28));
        QByteArray many;
        for (int i = 0; i < 100; ++i)
            many += "250-ligne " + QByteArray::number(i) + "\r\n";
        server.send(many);
        PaneView *lstClient = control<PaneView>("lstClient"), *lstServeur = control<PaneView>("lstServeur");
        // Both panes open with the session's mark, the same text in each.
        QTRY_COMPARE(shownRows(lstServeur).mid(1),
                     QStringList({"220 bienvenue", " ", " "}) + QString::fromLatin1(many).split("\r\n", Qt::SkipEmptyParts));
        QCOMPARE(shownRows(lstClient).mid(1), QStringList({" ", "EHLO test", "MAIL FROM:<a@b>"}) + QStringList(100, " "));
        QCOMPARE(shown(lstClient, 0), shown(lstServeur, 0));
        QVERIFY2(shown(lstClient, 0).contains(QStringLiteral(" \u00b7 client 127.0.0.1:"))
                     && shown(lstClient, 0).endsWith(QStringLiteral("\u2192 127.0.0.1:%1 \u2014").arg(server.serverPort())),
                 qPrintable(shown(lstClient, 0)));
        QTRY_VERIFY(lstClient->verticalScrollBar()->maximum() > 20);
        lstServeur->verticalScrollBar()->setValue(20); // left there by the user while traffic flows
        client.send("QUIT\r\n");
        QTRY_COMPARE(lstServeur->model()->rowCount(), 105);
        QCOMPARE(shown(lstClient, 104), QStringLiteral("QUIT"));
        QCOMPARE(lstClient->firstVisibleRow(), 20);
        QCOMPARE(lstServeur->firstVisibleRow(), 20);
        QVERIFY(server.waitForReceived(34));
        QCOMPARE(server.received(), QByteArray("EHLO test\r\nMAIL FROM:<a@b>\r\nQUIT\r\n"));
        QCOMPARE(client.received(), "220 bienvenue\r\n" + many);
        QVERIFY(m_window->close());
        QVERIFY(client.waitForDisconnected());
        QVERIFY(server.waitForDisconnected());
        QVERIFY(!m_window->relay().isArmed());
    }
    // Two clients in turn: each session is framed by its marks, in the panes
    // and in the transcript. Both kinds of clear can then be undone, rows
    // captured since the clear staying after the ones brought back.
    void successiveClientsAreFramedByMarksAndEitherClearCanBeUndone()
    {
        LoopbackPeer server;
        QVERIFY(server.listen());
        server.setGreeting("220 ok\r\n");
        m_window->setFieldTexts(freePortText(), QStringLiteral("127.0.0.1"), QString::number(server.serverPort()));
        Conversation *conversation = m_window->conversation();
        const auto session = [&](int number) {
            QTRY_VERIFY(m_window->relay().listeningPort() != 0);
            const int before = conversation->rowCount();
            LoopbackPeer client;
            client.connectTo(m_window->relay().listeningPort());
            QVERIFY(client.waitForReceived(8));
            client.send("QUIT\r\n");
            QVERIFY(server.waitForReceived(6 * number));
            client.close();
            QTRY_COMPARE(conversation->rowCount(), before + 4);
        };
        QTest::keyClick(control<QLineEdit>("txtPortServeur"), Qt::Key_Return); // Return in a field: "Ecouter"
        expectState(true);
        session(1);
        session(2);
        QList<int> marks;
        for (int row = 0; row < conversation->rowCount(); ++row) {
            if (conversation->isMarker(row))
                marks.append(row);
        }
        QCOMPARE(marks, QList<int>({0, 3, 4, 7}));
        for (int row : {0, 4})
            QVERIFY2(conversation->markerText(row).contains(QStringLiteral("\u2192 127.0.0.1:%1").arg(server.serverPort())),
                     qPrintable(conversation->markerText(row)));
        for (int row : {3, 7})
            QVERIFY2(conversation->markerText(row).contains(QStringLiteral("client \u2192 serveur 6 o \u00b7 serveur \u2192 client 8 o")),
                     qPrintable(conversation->markerText(row)));
        const QList<QByteArray> lines = conversation->transcript(0, 8).split('\n');
        for (int row : marks)
            QVERIFY2(lines[row].mid(13).startsWith("-- ") && lines[row].mid(16) == conversation->markerText(row).toUtf8(),
                     lines[row].constData());
        const QByteArray before = conversation->transcript(0, 8);

        auto *cleared = control<QLabel>("lblEffacement");
        QTest::mouseDClick(control<PaneView>("lstServeur")->viewport(), Qt::LeftButton);
        QCOMPARE(conversation->rowCount(), 0);
        QVERIFY(cleared->isVisible());
        QCOMPARE(cleared->text(), QStringLiteral("8 lignes effacées — Ctrl+Z pour les rétablir"));
        QTest::keyClick(control<PaneView>("lstClient"), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(conversation->transcript(0, conversation->rowCount()), before);
        QVERIFY(!cleared->isVisible());

        control<QPushButton>("cmdStop")->click();
        m_window->clickStart();
        QCOMPARE(conversation->rowCount(), 0);
        QCOMPARE(cleared->text(), QStringLiteral("8 lignes effacées — Ctrl+Z pour les rétablir"));
        session(3);
        QTest::mouseClick(cleared, Qt::LeftButton);
        QTRY_COMPARE(conversation->rowCount(), 12);
        QCOMPARE(conversation->transcript(0, 8), before);
        QVERIFY(conversation->isMarker(8) && conversation->isMarker(11));
        QVERIFY(!m_window->undoClear()); // once only
    }
    // Ctrl+F: matches of both sides are highlighted in both panes; typing
    // never scrolls, Enter and F3 / Shift+F3 bring the match into view.
    // Server replies are tinted by class, their tooltip tells the reply time.
    void searchHighlightsBothPanesAndScrollsOnlyWhenAsked()
    {
        Conversation *conversation = m_window->conversation();
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        for (int i = 0; i < 150; ++i) {
            const QByteArray client = i == 5 ? "NOOP needle" : i == 125 ? "RSET NeEdLe" : "MAIL FROM:<u" + QByteArray::number(i) + ">";
            conversation->appendRows(Side::Client, rowsOf({client}), t + 10 * i);
            conversation->appendRows(Side::Server, rowsOf({i == 124 ? "550 needle refused" : "250 ok"}), t + 10 * i + 3);
        }
        PaneView *lstClient = control<PaneView>("lstClient"), *lstServeur = control<PaneView>("lstServeur");
        QTRY_COMPARE(lstClient->model()->rowCount(), 300);
        const auto background = [](PaneView *pane, int row) {
            const QRect r = pane->visualRect(paneIndex(pane, row));
            return pane->viewport()->grab().toImage().pixelColor(r.right() - 12, r.center().y()).name();
        };
        const QPalette palette = lstServeur->palette();
        QCOMPARE(background(lstServeur, 1), RowDelegate::replyBackground(palette, ReplyClass::Positive).name());
        QCOMPARE(paneIndex(lstServeur, 1).data(Qt::ToolTipRole).toString().section(QStringLiteral(" \u00b7 "), 1),
                 QStringLiteral("réponse en 3 ms"));

        QTest::keyClick(lstClient, Qt::Key_F, Qt::ControlModifier);
        auto *find = control<QLineEdit>("txtRecherche");
        QVERIFY(find->isVisible() && find->hasFocus());
        QTest::keyClicks(find, QStringLiteral("NEEDLE"));
        QCOMPARE(control<QLabel>("lblCompte")->text(), QStringLiteral("1 / 3"));
        QCOMPARE(lstClient->firstVisibleRow(), 0); // typing moved nothing
        for (PaneView *pane : {lstClient, lstServeur}) // the match, on its side and on the other
            QCOMPARE(background(pane, 10), RowDelegate::matchBackground(palette, true).name());
        QTest::keyClick(find, Qt::Key_Return);
        QCOMPARE(control<QLabel>("lblCompte")->text(), QStringLiteral("2 / 3"));
        for (PaneView *pane : {lstClient, lstServeur}) {
            QVERIFY2(pane->firstVisibleRow() <= 249 && pane->lastVisibleRow() >= 251, qPrintable(QString::number(pane->firstVisibleRow())));
            QCOMPARE(background(pane, 249), RowDelegate::matchBackground(palette, true).name());
            QCOMPARE(background(pane, 250), RowDelegate::matchBackground(palette, false).name());
        }
        QTest::keyClick(find, Qt::Key_F3, Qt::ShiftModifier);
        QCOMPARE(control<QLabel>("lblCompte")->text(), QStringLiteral("1 / 3"));
        QVERIFY(lstServeur->firstVisibleRow() <= 10 && lstServeur->lastVisibleRow() >= 10);
        QTest::keyClick(find, Qt::Key_Escape);
        QVERIFY(!find->isVisible());
        QCOMPARE(background(lstClient, 10), lstClient->palette().color(QPalette::Base).name());
    }
    // A failure stays in view, highlighted, through the events after it until
    // the user's next key; the history keeps every event with its time.
    void failureStaysHighlightedUntilTheUserActsAndTheHistoryKeepsIt()
    {
        QString remote;
        const QString local = freePortText();
        do remote = freePortText(); while (remote == local);
        m_window->setFieldTexts(local, QStringLiteral("127.0.0.1"), remote);
        m_window->clickStart();
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        LoopbackPeer client;
        client.connectTo(m_window->relay().listeningPort());
        auto *failure = control<QLabel>("lblEchec");
        QTRY_VERIFY(failure->isVisible());
        QTRY_VERIFY(status().contains(QStringLiteral("écoute"), Qt::CaseInsensitive)); // a later event
        QVERIFY2(failure->isVisible() && failure->text().contains(QStringLiteral("connexion refusée")),
                 qPrintable(failure->text()));
        QTest::keyClick(control<PaneView>("lstClient"), Qt::Key_H, Qt::ControlModifier);
        QVERIFY(!failure->isVisible());
        auto *dialog = m_window->findChild<QDialog *>(QStringLiteral("dlgHistorique"));
        QTRY_VERIFY(dialog && dialog->isVisible());
        auto *list = dialog->findChild<QTreeWidget *>(QStringLiteral("lstHistorique"));
        const EventHistory &history = m_window->eventHistory();
        QCOMPARE(list->topLevelItemCount(), history.count());
        QStringList texts;
        for (int i = 0; i < history.count(); ++i)
            texts.append(history.at(i).text);
        QVERIFY2(texts.size() >= 4 && texts[0].startsWith(QStringLiteral("En écoute"))
                     && texts[1].startsWith(QStringLiteral("Client connecté")) && history.at(2).failure
                     && !history.at(0).failure,
                 qPrintable(texts.join(QLatin1Char('\n'))));
        QCOMPARE(list->topLevelItem(2)->text(1), texts[2]);
    }
    // The window goes at once; the program lives on until what was read from
    // the client has reached a server slow to read it.
    // The boxes reach the relay; each handshake leaves one mark, whose tooltip
    // details it; a save of what was decrypted is for its owner only.
    void tlsBoxesReachTheRelayAndTheHandshakesAreMarked()
    {
        QTemporaryDir home;
        CertificateAuthority serverCa(home.filePath("server-ca"));
        QCOMPARE(serverCa.ensure(), QString());
        FakeServer server(serverCa, {});
        RelaySettings::Tls tls;
        tls.caDirectory = home.filePath("dravlin");
        m_window->setTlsSettings(tls);
        control<QCheckBox>("chkTls")->click();
        control<QCheckBox>("chkTlsInsecure")->click(); // the server's CA is known to nobody
        m_window->setFieldTexts(freePortText(), "127.0.0.1", QString::number(server.listener.serverPort()));
        m_window->clickStart();
        expectState(true);
        const RelaySettings::Tls taken = m_window->relay().settings().tls;
        QVERIFY(taken.inspectTls && taken.tlsInsecure && !taken.serverTls && taken.caDirectory == tls.caDirectory);
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        QByteArray heard;
        const QString failed = StartTlsClient::converse(m_window->relay().listeningPort(), home.filePath("dravlin/ca.crt"), &heard);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        Conversation *conv = m_window->conversation();
        QStringList marks;
        QTRY_VERIFY((marks.clear(), [&] {
            for (int row = 0; row < conv->rowCount(); ++row)
                if (conv->isMarker(row) && conv->markerText(row).startsWith("TLS "))
                    marks.append(conv->data(conv->index(row, 1), Qt::ToolTipRole).toString());
            return marks.size() == 2 && conv->rowCount() > 0 && !conv->isMarker(conv->rowCount() - 1)
                && conv->text(conv->rowCount() - 1, Side::Server) == "221 bye";
        }()));
        const QString serverTip = marks.filter("TLS serveur").value(0);
        QVERIFY2(serverTip.split('\n').size() >= 7 && serverTip.contains("\ncertificat NON vérifié (")
                     && serverTip.contains("\nSHA-256 ") && serverTip.contains("\németteur CN=Dravlin CA"), qPrintable(serverTip));
        QVERIFY(conv->isEncrypted(conv->rowCount() - 1));
        // An older file of the name, readable by all, is replaced by one for the owner only.
        const QString saved = home.filePath("conversation.txt"), capture = home.filePath("conversation.pcap");
        for (const QString &path : {saved, capture}) {
            QFile older(path);
            QVERIFY(older.open(QIODevice::WriteOnly) && older.setPermissions(older.permissions() | QFileDevice::ReadOther));
        }
        QVERIFY(m_window->saveConversation(saved) && m_window->exportPcap(capture));
        for (const QString &path : {saved, capture})
            QCOMPARE(QFileInfo(path).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count(" -- TLS "), 2);
    }
    // A CA that cannot be had: said in a box, and the window stays stopped.
    void tlsWithoutItsAuthorityDoesNotStart()
    {
        QTemporaryDir home;
        QFile blocker(home.filePath("dravlin")); // a file where the CA's folder should be
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        RelaySettings::Tls tls;
        tls.inspectTls = true;
        tls.caDirectory = blocker.fileName();
        m_window->setTlsSettings(tls);
        QVERIFY(control<QCheckBox>("chkTls")->isChecked());
        m_window->setFieldTexts(freePortText(), "127.0.0.1", freePortText());
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        QVERIFY2(!boxedMessage(reported).isEmpty(), qPrintable(reported.value(0).value(0).toString()));
        expectState(false);
        QVERIFY(!m_window->relay().isArmed());
    }

    void closingDeliversWhatWasReadBeforeTheProgramEnds()
    {
        RawPeer server;
        RawPeer::Script slow;
        slow.receiveBuffer = 32 * 1024;
        slow.readStep = 256 * 1024;
        slow.pauseMs = 20;
        slow.readOnRelease = true;
        server.serve(slow);
        m_window->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.listenPort()});
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        qint64 read = -1;
        connect(&m_window->relay(), &Relay::eventOccurred, this, [&read](const RelayEvent &e) {
            if (e.kind == RelayEvent::Kind::SessionEnded)
                read = e.bytesClientToServer;
        });
        QSignalSpy finished(&m_window->relay(), &Relay::finished);
        LoopbackPeer client;
        client.connectTo(m_window->relay().listeningPort());
        QByteArray request;
        while (request.size() < 8 * 1024 * 1024)
            request += "RCPT TO:<destinataire" + QByteArray::number(request.size()) + "@exemple.org>\r\n";
        client.send(request);
        QTRY_VERIFY(m_window->relay().pendingSendBytes(Side::Server) > 0);
        server.release();

        QTimer::singleShot(0, m_window, &QWidget::close);
        QTimer::singleShot(15000, qApp, &QCoreApplication::quit); // in case nothing ends it
        QElapsedTimer running;
        running.start();
        QApplication::exec();
        QVERIFY(running.elapsed() < 15000);
        QVERIFY(!m_window->isVisible());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished[0], (QVariantList{qint64(0), qint64(0)}));
        QVERIFY(server.waitDone());
        QVERIFY(server.cleanEnd);
        QCOMPARE(server.received.size(), read);
        QVERIFY(read > 0 && request.startsWith(server.received));
    }
};

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
