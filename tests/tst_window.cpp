#include "CertificateAuthority.h"
#include "CommandLine.h"
#include "EventHistoryDialog.h"
#include "FakeServer.h"
#include "LoopbackPeer.h"
#include "RawPeer.h"
#include "ReplyClass.h"
#include "RowDelegate.h"
#include "RowsFixture.h"
#include "SessionMarks.h"
#include "StartTlsClient.h"
#include "TsharkStreams.h"
#include "WindowFrontEnd.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <numeric>

// 14:03:22.418 local time, when the greeting of the known rows arrives.
static const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();
// The known rows as the transcript must write them: UTF-8 as is, a backslash
// doubled, controls and bytes that are not UTF-8 as \xHH, TAB kept.
static const QByteArray KnownTranscript = "14:03:22.418 S: 220 pr\xc3\xaat\n"
                                          "14:03:22.430 C: EHLO a\\\\b\n"
                                          "14:03:22.430 C: tab\there\\x1b[0m\n"
                                          "14:03:23.680 S: \\xe9t\\xe9\n";

// The settings, disabled while the relay runs: the three fields first.
static const char *const Fields[] = {"txtPortClient", "txtAdresseServeur", "txtPortServeur", "chkTls", "chkTlsInsecure"};

// The program's window as the user meets it, built afresh for each test
// through its front end, so options can be given as on the command line.
class TstWindow : public QObject
{
    Q_OBJECT
    std::unique_ptr<WindowFrontEnd> m_front;
    MainWindow *m_window = nullptr;
    Conversation *m_conv = nullptr;

    template<typename T = QWidget> T *control(const char *name)
    {
        if (T *found = m_window->findChild<T *>(QString::fromLatin1(name)))
            return found;
        qFatal("no control %s", name);
    }
    PaneView *pane(Side side) { return control<PaneView>(side == Side::Client ? "lstClient" : "lstServeur"); }
    QString status() { return control<QLabel>("lblEvenement")->text(); }
    // The one message reported, when it is also the text of the box shown; else empty.
    QString boxedMessage(const QSignalSpy &reported)
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
        QCOMPARE(control<QFrame>("FrameEtat")->grab().toImage().pixelColor(10, 10), colour); // as painted
        QCOMPARE(control<QLabel>("lblEtat")->text(), QString::fromUtf8(started ? "Serveur démarré" : "Serveur arrêté"));
    }
    // Fields for a relay to serverPort on loopback, from a local port nothing uses.
    void fillFields(quint16 serverPort)
    {
        quint16 local = LoopbackPeer::unusedPort();
        while (local == serverPort) // else the relay would dial itself
            local = LoopbackPeer::unusedPort();
        m_window->setFieldTexts(QString::number(local), QStringLiteral("127.0.0.1"), QString::number(serverPort));
    }
    // What the program does when started with these options.
    void openWith(const QStringList &arguments)
    {
        CommandLine options;
        QVERIFY(options.parse(QStringList{QStringLiteral("dravlin")} + arguments) == CommandLine::Outcome::Run);
        m_front->open(options);
    }
    // A greeting, two client lines in one chunk 12 ms later, a Latin-1 reply 1,250 s after.
    void addKnownRows()
    {
        m_conv->appendRows(Side::Server, rowsOf({"220 pr\xc3\xaat"}), T0);
        m_conv->appendRows(Side::Client, rowsOf({"EHLO a\\b", "tab\there\x1b[0m"}), T0 + 12);
        m_conv->appendRows(Side::Server, rowsOf({"\xe9t\xe9"}), T0 + 12 + 1250);
    }
    void addMark(RelayEvent::Kind kind, qint64 time, const char *client, const char *server,
                 RelayEvent::End end = RelayEvent::End::ClosedByClient)
    {
        RelayEvent event;
        event.kind = kind;
        event.time = time;
        event.client = QString::fromLatin1(client);
        event.server = QString::fromLatin1(server);
        event.end = end;
        m_conv->appendMarker(time, SessionMarks::text(event));
    }
    // Sessions framed by their marks, as the relay leaves them: a client
    // closing, then one on IPv6 sending every byte, reset by the server.
    void addTwoSessions()
    {
        using Kind = RelayEvent::Kind;
        addMark(Kind::ClientConnected, T0 + 5000, "127.0.0.1:40112", "127.0.0.1:2525");
        m_conv->appendRows(Side::Server, rowsOf({"220 ok"}), T0 + 5001);
        m_conv->appendRows(Side::Client, rowsOf({"QUIT"}), T0 + 5002);
        addMark(Kind::SessionEnded, T0 + 6000, "127.0.0.1:40112", "127.0.0.1:2525");
        addMark(Kind::ClientConnected, T0 + 7000, "[::1]:40114", "[::1]:2525");
        m_conv->appendRows(Side::Client, rowsOf({everyByte(), "\xc3\xa9t\xc3\xa9", "\xe9t\xe9", ""}), T0 + 7001);
        addMark(Kind::SessionEnded, T0 + 7100, "[::1]:40114", "[::1]:2525", RelayEvent::End::ResetByServer);
    }
    static QByteArray everyByte()
    {
        QByteArray bytes(256, '\0');
        std::iota(bytes.begin(), bytes.end(), char(0));
        return bytes;
    }
    static QByteArray contentsOf(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void init()
    {
        m_front = std::make_unique<WindowFrontEnd>();
        m_window = m_front->window();
        m_conv = m_window->conversation();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }
    void cleanup() { m_front.reset(); }

    // On a screen smaller than designed, the panes give up height first and
    // every control of the configuration row stays inside it; back at the
    // design size, nothing has moved.
    void aSmallScreenShrinksThePanesFirstAndKeepsEveryControlWhole()
    {
        QWidget *area = m_window->centralWidget(), *configuration = control("cmdStart")->parentWidget();
        const QSize design = m_window->designClientSize();
        m_window->resize(m_window->size() - area->size() + design);
        QTRY_COMPARE(area->size(), design);
        const QList<QWidget *> row = configuration->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        const QRect stopAtDesign = control("cmdStop")->geometry();
        const int paneAtDesign = pane(Side::Client)->height();
        const QSize small(620, 470); // 1280x1024 at a scale factor of 2, less a window frame
        m_window->resize(m_window->size() - area->size() + small);
        QTRY_COMPARE(area->size(), small);
        QVERIFY(pane(Side::Client)->height() < paneAtDesign);
        QCOMPARE(control("cmdStop")->height(), stopAtDesign.height());
        for (QWidget *widget : row) {
            QVERIFY2(configuration->rect().contains(widget->geometry()), qPrintable(widget->objectName()));
            // What takes input overlaps nothing else that does (captions may touch).
            for (QWidget *other : row)
                QVERIFY2(other == widget || widget->focusPolicy() == Qt::NoFocus || other->focusPolicy() == Qt::NoFocus
                             || !other->geometry().intersects(widget->geometry()),
                         qPrintable(widget->objectName() + QLatin1Char('/') + other->objectName()));
        }
        for (auto *box : configuration->findChildren<QCheckBox *>())
            QVERIFY2(box->sizeHint().width() <= box->width(), qPrintable(box->text()));
        for (QWidget *widget : {configuration, static_cast<QWidget *>(pane(Side::Client)), static_cast<QWidget *>(pane(Side::Server))})
            QVERIFY(area->rect().contains(widget->geometry()));
        QVERIFY(!pane(Side::Client)->geometry().intersects(pane(Side::Server)->geometry()));
        m_window->resize(m_window->size() - area->size() + design);
        QTRY_COMPARE(control("cmdStop")->geometry(), stopAtDesign);
    }

    // The window opens on the local port; typing it fills the server port
    // keystroke by keystroke, nothing flows back.
    void theLocalPortMirrorsIntoTheServerPortNotBack()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        auto *local = control<QLineEdit>("txtPortClient"), *server = control<QLineEdit>("txtPortServeur");
        QCOMPARE(QApplication::focusWidget(), local);
        local->selectAll();
        QTest::keyClicks(local, QStringLiteral("110"));
        QCOMPARE(server->text(), QStringLiteral("110"));
        QTest::keyClick(server, '5');
        QCOMPARE(local->text(), QStringLiteral("110"));
    }

    // Start empties the panes; a server that refuses the relay's dial is only
    // news on the status line, highlighted until the user acts, and the relay
    // listens on; stop keeps the rows. A port already in use stops it, boxed.
    void aRefusedDialKeepsListeningAPortInUseStops()
    {
        expectState(false);
        fillFields(LoopbackPeer::unusedPort());
        m_conv->appendRows(Side::Client, rowsOf({"a", "b"}), 0);
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        expectState(true);
        QCOMPARE(m_conv->rowCount(), 0);
        QTRY_COMPARE(QString::number(m_window->relay().listeningPort()), control<QLineEdit>("txtPortClient")->text());
        LoopbackPeer client;
        client.connectTo(m_window->relay().listeningPort());
        QVERIFY(client.waitForDisconnected());
        auto *failure = control<QLabel>("lblEchec");
        QTRY_VERIFY(status().contains(QStringLiteral("écoute"), Qt::CaseInsensitive)); // a later event
        QVERIFY2(failure->isVisible() && failure->text().contains(QStringLiteral("connexion refusée")),
                 qPrintable(failure->text()));
        QCOMPARE(reported.count(), 0);
        expectState(true);
        QTRY_COMPARE(m_conv->rowCount(), 2); // the session's marks, the second saying why it ended
        QVERIFY(m_conv->isMarker(0) && m_conv->markerText(1).contains(QStringLiteral("serveur injoignable")));

        QTest::keyClick(pane(Side::Client), Qt::Key_H, Qt::ControlModifier);
        QVERIFY(!failure->isVisible());
        auto *dialog = m_window->findChild<EventHistoryDialog *>();
        QTRY_VERIFY(dialog && dialog->isVisible());
        auto *list = dialog->findChild<QTreeWidget *>(QStringLiteral("lstHistorique"));
        QVERIFY(failure->text().endsWith(list->topLevelItem(2)->text(1))); // listening, connected, refused

        control<QPushButton>("cmdStop")->click();
        expectState(false);
        QCOMPARE(m_conv->rowCount(), 2);
        QVERIFY(!m_window->relay().isArmed());
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        m_window->setFieldTexts(QString::number(taken.serverPort()), QStringLiteral("127.0.0.1"),
                                QString::number(LoopbackPeer::unusedPort()));
        m_window->clickStart();
        QTRY_COMPARE(reported.count(), 1);
        expectState(false);
        QVERIFY(!m_window->relay().isArmed());
        const QString message = boxedMessage(reported);
        QVERIFY(!message.isEmpty() && status().contains(message));
    }

    void badInputIsReportedAndStartsNothing_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QStringList>("fields"); // as shown afterwards
        QTest::addColumn<QString>("named");      // in the message
        const QByteArray ok = QByteArray::number(LoopbackPeer::unusedPort());
        const char *port = ok.constData();
        QTest::newRow("local port 0") << QStringLiteral("click") << textsOf({"0", "127.0.0.1", port}) << QStringLiteral("Serveur sur le port");
        QTest::newRow("server port 65536") << QStringLiteral("click") << textsOf({port, "127.0.0.1", "65536"}) << QStringLiteral("Sur le port");
        QTest::newRow("empty host") << QStringLiteral("click") << textsOf({port, "", port}) << QStringLiteral("Redirige vers");
        QTest::newRow("TLS without its authority") << QStringLiteral("tls") << textsOf({port, "127.0.0.1", port}) << QStringLiteral("dravlin");
        // --start clicks for the user: the same box, the values shown as typed.
        QTest::newRow("command line") << QStringLiteral("options") << textsOf({"vingt", "127.0.0.1", "vingt"})
                                      << QStringLiteral("Serveur sur le port");
    }
    void badInputIsReportedAndStartsNothing()
    {
        QFETCH(QString, route);
        QFETCH(QStringList, fields);
        QFETCH(QString, named);
        m_conv->appendRows(Side::Client, rowsOf({"a", "b"}), 0);
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QTemporaryDir home;
        if (route == QLatin1String("options")) {
            openWith({QStringLiteral("--listen"), fields[0], QStringLiteral("--server"), fields[1], QStringLiteral("--start")});
            QTRY_COMPARE(reported.count(), 1);
        } else {
            if (route == QLatin1String("tls")) {
                QFile blocker(home.filePath(QStringLiteral("dravlin"))); // a file where the CA's folder should be
                QVERIFY(blocker.open(QIODevice::WriteOnly));
                RelaySettings::Tls tls;
                tls.inspectTls = true;
                tls.caDirectory = blocker.fileName();
                m_window->setTlsSettings(tls);
            }
            m_window->setFieldTexts(fields[0], fields[1], fields[2]);
            m_window->clickStart();
        }
        const QString message = boxedMessage(reported);
        QVERIFY2(message.contains(named), qPrintable(message));
        expectState(false);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(control<QLineEdit>(Fields[i])->text(), fields[i]);
        QCOMPARE(m_conv->rowCount(), 2);
        QVERIFY(!m_window->relay().isArmed());
    }

    // Started from the command line: every row the peers exchange reaches
    // its pane in order, level with an alignment row in the other.
    void relayedRowsReachBothPanesInOrderAndLevel()
    {
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        server.setGreeting("220 bienvenue\r\n");
        const quint16 port = LoopbackPeer::unusedPort();
        openWith({QStringLiteral("--listen"), QString::number(port), QStringLiteral("--server"),
                  QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), QStringLiteral("--start")});
        QTRY_COMPARE(m_window->relay().listeningPort(), port);
        client.connectTo(port);
        QVERIFY(client.waitForReceived(15));
        client.send("EHLO test\r\nMAIL FROM:<a@b>\r\n");
        QVERIFY(server.waitForReceived(28));
        QByteArray many;
        for (int i = 0; i < 100; ++i)
            many += "250-ligne " + QByteArray::number(i) + "\r\n";
        server.send(many);
        PaneView *lstClient = pane(Side::Client), *lstServeur = pane(Side::Server);
        const QString space = Conversation::AlignmentRow;
        QTRY_COMPARE(shownRows(lstServeur).mid(1), QStringList({QStringLiteral("220 bienvenue"), space, space})
                                                       + QString::fromLatin1(many).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts));
        QCOMPARE(shownRows(lstClient).mid(1), QStringList({space, QStringLiteral("EHLO test"), QStringLiteral("MAIL FROM:<a@b>")})
                                                  + QStringList(100, space));
        // Both panes open with the session's mark, the same text in each.
        QCOMPARE(shown(lstClient, 0), shown(lstServeur, 0));
        QVERIFY2(shown(lstClient, 0).endsWith(QStringLiteral("\u2192 127.0.0.1:%1 \u2014").arg(server.serverPort())),
                 qPrintable(shown(lstClient, 0)));
        client.send("QUIT\r\n");
        QTRY_COMPARE(lstServeur->model()->rowCount(), 105);
        QCOMPARE(shown(lstClient, 104), QStringLiteral("QUIT"));
        QVERIFY(server.waitForReceived(34));
        QCOMPARE(server.received(), QByteArray("EHLO test\r\nMAIL FROM:<a@b>\r\nQUIT\r\n"));
        QCOMPARE(client.received(), "220 bienvenue\r\n" + many);
        // The client's close ends the session with a mark of what went each
        // way, and the transcript writes each mark as a "-- " line.
        client.close();
        QTRY_COMPARE(m_conv->rowCount(), 106);
        QVERIFY2(m_conv->isMarker(105) && m_conv->markerText(105).contains(QStringLiteral("client \u2192 serveur 34 o")),
                 qPrintable(m_conv->markerText(105)));
        const QList<QByteArray> lines = m_conv->transcript(0, 106).split('\n');
        for (int row : {0, 105}) // after "hh:mm:ss.zzz "
            QCOMPARE(lines[row].mid(13), "-- " + m_conv->markerText(row).toUtf8());
    }

    // Either kind of clear, a double-click or "Ecouter", can be undone, rows
    // captured since the clear staying after the ones brought back.
    void undoBringsBackEveryClearedRowBeforeTheNewOnes()
    {
        addKnownRows();
        addTwoSessions();
        const int rows = m_conv->rowCount();
        const QByteArray before = m_conv->transcript(0, rows);
        auto *cleared = control<QLabel>("lblEffacement");
        const QString clearedText = QStringLiteral("%1 lignes effacées — Ctrl+Z pour les rétablir").arg(rows);
        QTest::mouseDClick(pane(Side::Server)->viewport(), Qt::LeftButton);
        QCOMPARE(m_conv->rowCount(), 0);
        QVERIFY(cleared->isVisible());
        QCOMPARE(cleared->text(), clearedText);
        QTest::keyClick(pane(Side::Client), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(m_conv->transcript(0, m_conv->rowCount()), before);
        QVERIFY(!cleared->isVisible());

        fillFields(LoopbackPeer::unusedPort());
        control("txtPortServeur")->setFocus();
        QTest::keyClick(control("txtPortServeur"), Qt::Key_Return); // Return in a field: "Ecouter"
        expectState(true);
        QCOMPARE(m_conv->rowCount(), 0);
        QCOMPARE(cleared->text(), clearedText);
        m_conv->appendRows(Side::Client, rowsOf({"after"}), T0 + 9000);
        QTest::mouseClick(cleared, Qt::LeftButton);
        QTRY_COMPARE(m_conv->rowCount(), rows + 1);
        QCOMPARE(m_conv->transcript(0, rows), before);
        QCOMPARE(m_conv->text(rows, Side::Client), QStringLiteral("after"));
        QVERIFY(!m_window->undoClear()); // once only
    }

    // Ctrl+F: matches of both sides are highlighted in both panes, from the
    // first visible row on; typing never scrolls, Enter and F3 (Shift: back)
    // bring the match into view wherever the focus is, wrapping round.
    void searchHighlightsBothPanesAndScrollsOnlyWhenAsked()
    {
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        for (int i = 0; i < 150; ++i) { // rows 10, 249 and 250 match
            const QByteArray client = i == 5 ? QByteArray("NOOP needle")
                                   : i == 125 ? QByteArray("RSET NeEdLe") : "MAIL FROM:<u" + QByteArray::number(i) + ">";
            m_conv->appendRows(Side::Client, rowsOf({client}), t + 10 * i);
            m_conv->appendRows(Side::Server, rowsOf({i == 124 ? "550 needle refused" : "250 ok"}), t + 10 * i + 3);
        }
        PaneView *lstClient = pane(Side::Client), *lstServeur = pane(Side::Server);
        QTRY_COMPARE(lstClient->model()->rowCount(), 300);
        const auto background = [](PaneView *pane, int row) {
            const QRect r = pane->visualRect(paneIndex(pane, row));
            return pane->viewport()->grab().toImage().pixelColor(r.right() - 12, r.center().y()).name();
        };
        const QPalette palette = lstServeur->palette();
        const QString current = RowDelegate::matchBackground(palette, true).name(), other = RowDelegate::matchBackground(palette, false).name();
        QCOMPARE(background(lstServeur, 1), RowDelegate::replyBackground(palette, ReplyClass::Positive).name()); // no match: its class

        lstClient->verticalScrollBar()->setValue(200);
        QTest::keyClick(lstClient, Qt::Key_F, Qt::ControlModifier);
        auto *find = control<QLineEdit>("txtRecherche");
        auto *count = control<QLabel>("lblCompte");
        QVERIFY(find->isVisible() && find->hasFocus());
        QTest::keyClicks(find, QStringLiteral("NEEDLE"));
        QCOMPARE(count->text(), QStringLiteral("2 / 3"));
        QCOMPARE(lstClient->firstVisibleRow(), 200); // typing moved nothing
        QTest::keyClick(find, Qt::Key_Return);
        QCOMPARE(count->text(), QStringLiteral("3 / 3"));
        for (PaneView *pane : {lstClient, lstServeur}) { // the match, on its side and on the other
            QVERIFY2(pane->firstVisibleRow() <= 249 && pane->lastVisibleRow() >= 250, qPrintable(QString::number(pane->firstVisibleRow())));
            QCOMPARE(background(pane, 250), current);
            QCOMPARE(background(pane, 249), other);
        }
        QTest::keyClick(find, Qt::Key_Enter);
        QCOMPARE(count->text(), QStringLiteral("1 / 3")); // wrapped round
        QVERIFY(lstServeur->firstVisibleRow() <= 10 && lstServeur->lastVisibleRow() >= 10);
        QTest::keyClick(find, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(count->text(), QStringLiteral("3 / 3"));
        lstClient->setFocus();
        QTest::keyClick(lstClient, Qt::Key_F3);
        QCOMPARE(count->text(), QStringLiteral("1 / 3"));
        QTest::keyClick(lstClient, Qt::Key_F3, Qt::ShiftModifier);
        QCOMPARE(count->text(), QStringLiteral("3 / 3"));
        m_conv->appendRows(Side::Client, rowsOf({"needle again"}), t + 2000);
        QCOMPARE(count->text(), QStringLiteral("3 / 4"));

        find->setFocus();
        QTest::keyClick(find, Qt::Key_Escape);
        QVERIFY(!find->isVisible());
        QCOMPARE(background(lstClient, 250), lstClient->palette().color(QPalette::Base).name());
        const int first = lstClient->firstVisibleRow();
        QTest::keyClick(lstClient, Qt::Key_F3); // the bar hidden, F3 is not its own
        QCOMPARE(lstClient->firstVisibleRow(), first);
    }

    // Ctrl+C copies rows as the transcript writes them: the row selected in
    // the pane with the focus, else all of them.
    void copyTakesTheSelectedRowOrEverything()
    {
        addKnownRows();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        const auto copyIn = [](QWidget *widget) {
            widget->setFocus();
            QGuiApplication::clipboard()->clear();
            QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
            return QGuiApplication::clipboard()->text();
        };
        // Row 2 is a client line, an alignment row in the server's pane: still the row copied.
        PaneView *lstServeur = pane(Side::Server);
        QTRY_COMPARE(lstServeur->model()->rowCount(), m_conv->rowCount());
        QTest::mouseClick(lstServeur->viewport(), Qt::LeftButton, {}, rowCentre(lstServeur, 2));
        QCOMPARE(copyIn(lstServeur), QStringLiteral("14:03:22.430 C: tab\there\\x1b[0m\n"));
        QCOMPARE(copyIn(pane(Side::Client)), QString::fromUtf8(KnownTranscript)); // no selection there: all of it
        // Each row's tooltip, in both panes, tells its time and the gap since the row before.
        for (int column : {0, 1})
            QCOMPARE(m_conv->index(3, column).data(Qt::ToolTipRole).toString(), QStringLiteral("14:03:23.680 (+1,250 s)"));
    }

    // Any bytes, marks, sides and times survive save -> open from the command
    // line -> save, and the file shown is read-only until "Ecouter". A save
    // or an open that fails says why, in French, and changes nothing.
    void saveOpenSaveKeepsEveryByteAndAFailureChangesNothing()
    {
        addKnownRows();
        addTwoSessions();
        // A row that came through TLS shows a lock in its own pane only; the
        // transcript does not tell it apart (TLS marks do).
        m_conv->appendRows(Side::Server, rowsOf({"250 ok"}), T0 + 7200, true);
        const int rows = m_conv->rowCount(), locked = rows - 1;
        QTemporaryDir dir;
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        const QString absent = dir.filePath(QStringLiteral("absent/conversation.txt"));
        QVERIFY(!m_window->saveConversation(absent));
        const QString lead = QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: ").arg(absent);
        QVERIFY2(boxedMessage(reported).startsWith(lead), qPrintable(reported.value(0).value(0).toString()));
        QVERIFY(QDir(dir.path()).isEmpty());
        reported.clear();

        const QString first = dir.filePath(QStringLiteral("first.txt")), second = dir.filePath(QStringLiteral("second.txt"));
        QFile older(first); // longer than what replaces it
        QVERIFY(older.open(QIODevice::WriteOnly) && older.write(QByteArray(64 * 1024, 'x')) == 64 * 1024);
        older.close();
        QVERIFY(m_window->saveConversation(first));
        const QByteArray saved = contentsOf(first);
        QVERIFY(saved.startsWith(KnownTranscript) && saved.contains(" C: \\xe9t\\xe9\n")
                && saved.contains(" C: \xc3\xa9t\xc3\xa9\n") && saved.endsWith(" S: 250 ok\n"));
        QList<QByteArray> before;
        for (int row = 0; row < rows; ++row)
            before.append(m_conv->bytes(row).toByteArray());
        m_conv->clear();
        openWith({QStringLiteral("--open"), first});
        QTRY_COMPARE(m_conv->rowCount(), rows);
        for (int row = 0; row < rows; ++row)
            QCOMPARE(m_conv->bytes(row).toByteArray(), before[row]);
        QVERIFY(m_conv->isMarker(4) && m_conv->side(6) == Side::Client && !m_conv->isMarker(6));
        QVERIFY(!m_conv->isEncrypted(locked));
        QVERIFY(m_window->saveConversation(second));
        QCOMPARE(contentsOf(second), saved);
        QVERIFY(m_window->windowTitle().contains(QStringLiteral("lecture seule")));
        QTest::mouseDClick(pane(Side::Client)->viewport(), Qt::LeftButton);
        QCOMPARE(m_conv->rowCount(), rows); // read-only: a double-click clears nothing

        QFile bad(dir.filePath(QStringLiteral("bad.txt")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("14:03:22.418 S: 220 ok\n14:03:22.430 -- mark\n14:03:22.431 X: what\n");
        bad.close();
        QVERIFY(!m_window->openConversation(bad.fileName()));
        const QString message = reported.value(0).value(0).toString();
        QVERIFY2(message.contains(QStringLiteral("bad.txt")) && message.contains(QStringLiteral("ligne 3\u00a0:")),
                 qPrintable(message));
        QCOMPARE(m_conv->transcript(0, m_conv->rowCount()), saved);
    }

    // Each session between its marks is one TCP stream between the marks'
    // endpoints, holding its rows each ended by CR LF.
    void pcapExportReadBackByTshark()
    {
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        addKnownRows();
        addTwoSessions();
        QTemporaryDir dir;
        const QString capture = dir.filePath(QStringLiteral("c.pcap"));
        QVERIFY(m_window->exportPcap(capture));
        TcpStream stream;
        QVERIFY(followStream(capture, 0, &stream)); // the rows before the first mark make a session of their own
        QCOMPARE(stream.fromServer, QByteArray("220 pr\xc3\xaat\r\n\xe9t\xe9\r\n"));
        QCOMPARE(stream.fromClient, QByteArray("EHLO a\\b\r\ntab\there\x1b[0m\r\n"));
        QVERIFY(followStream(capture, 2, &stream));
        QCOMPARE(stream.clientNode + QLatin1Char(' ') + stream.serverNode, QStringLiteral("[::1]:40114 [::1]:2525"));
        QCOMPARE(stream.fromClient, everyByte() + "\r\n\xc3\xa9t\xc3\xa9\r\n\xe9t\xe9\r\n\r\n");
        QVERIFY(stream.fromServer.isEmpty());
    }

    // The boxes reach the relay; each handshake leaves one mark, whose tooltip
    // details it; a save of what was decrypted is for its owner only.
    void tlsBoxesReachTheRelayAndEachHandshakeIsMarked()
    {
        QTemporaryDir home;
        CertificateAuthority serverCa(home.filePath(QStringLiteral("server-ca")));
        QCOMPARE(serverCa.ensure(), QString());
        FakeServer server(serverCa, {});
        RelaySettings::Tls tls;
        tls.caDirectory = home.filePath(QStringLiteral("dravlin"));
        m_window->setTlsSettings(tls);
        control<QCheckBox>("chkTls")->click();
        control<QCheckBox>("chkTlsInsecure")->click(); // the server's CA is known to nobody
        fillFields(server.listener.serverPort());
        m_window->clickStart();
        expectState(true);
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        QByteArray heard;
        const QString failed = StartTlsClient::converse(m_window->relay().listeningPort(),
                                                        home.filePath(QStringLiteral("dravlin/ca.crt")), &heard);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QTRY_COMPARE(m_conv->text(m_conv->rowCount() - 1, Side::Server), QStringLiteral("221 bye"));
        QStringList tips;
        for (int row = 0; row < m_conv->rowCount(); ++row)
            if (m_conv->isMarker(row) && m_conv->markerText(row).startsWith(QLatin1String("TLS ")))
                tips.append(m_conv->index(row, 1).data(Qt::ToolTipRole).toString());
        QCOMPARE(tips.size(), 2);
        QVERIFY2(tips.filter(QStringLiteral("TLS serveur")).value(0).contains(QStringLiteral("\ncertificat NON vérifié (")),
                 qPrintable(tips.join(QLatin1Char('\n'))));
        QVERIFY(m_conv->isEncrypted(m_conv->rowCount() - 1));
        // An older file of the name, readable by all, is replaced by one for the owner only.
        const QString saved = home.filePath(QStringLiteral("conversation.txt")), capture = home.filePath(QStringLiteral("conversation.pcap"));
        for (const QString &path : {saved, capture}) {
            QFile older(path);
            QVERIFY(older.open(QIODevice::WriteOnly) && older.setPermissions(older.permissions() | QFileDevice::ReadOther));
        }
        QVERIFY(m_window->saveConversation(saved) && m_window->exportPcap(capture));
        for (const QString &path : {saved, capture})
            QCOMPARE(QFileInfo(path).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(contentsOf(saved).count(" -- TLS "), 2);
    }

    // The window goes at once; the program lives on until what was read from
    // the client has reached a server slow to read it.
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
        QApplication::exec();
        QCOMPARE(finished.count(), 1); // else the timer ended it
        QVERIFY(server.waitDone());
        QVERIFY(server.cleanEnd);
        QCOMPARE(server.received.size(), read);
        QVERIFY(read > 0 && request.startsWith(server.received));
    }
};

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
