#include "EndpointText.h"
#include "WindowFixture.h"

// The window with peers: rows relayed, sessions listed and shown alone, clears undone, the events' history.
class TstWindowSessions : public QObject, WindowFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // Started from the command line: every row the peers exchange reaches
    // its pane in order, UTF-8 or Latin-1, level with an alignment row in
    // the other; the session's marks frame them, alike in both panes. The
    // export gives back every byte as sent: a line longer than a row, and a
    // last line with no end, gain no CR LF.
    void relayedRowsReachBothPanesInOrderAndLevel()
    {
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        server.setGreeting("220 pr\xc3\xaat\r\n");
        const quint16 port = LoopbackPeer::unusedPort();
        openWith({QStringLiteral("--listen"), QString::number(port), QStringLiteral("--server"),
                  QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), QStringLiteral("--start")});
        QTRY_COMPARE(monitor().listeningPort(), port);
        client.connectTo(port);
        QVERIFY(client.waitForReceived(11));
        client.send("EHLO \xe9t\xe9\r\nMAIL FROM:<a@b>\r\n");
        QVERIFY(server.waitForReceived(27));
        QByteArray many;
        for (int i = 0; i < 100; ++i)
            many += "250-ligne " + QByteArray::number(i) + "\r\n";
        server.send(many);
        QTRY_COMPARE(shownRows(m_server).mid(1), textList({"220 prêt", " ", " "})
                                                     + QString::fromLatin1(many).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts));
        QCOMPARE(shownRows(m_client).mid(1), textList({" ", "EHLO été", "MAIL FROM:<a@b>"}) + QStringList(100, QStringLiteral(" ")));
        QCOMPARE(shown(m_client, 0), shown(m_server, 0));
        QVERIFY2(shown(m_client, 0).endsWith(QStringLiteral("\u2192 127.0.0.1:%1 \u2014").arg(server.serverPort())),
                 qPrintable(shown(m_client, 0)));
        // One client at a time: no list, no numbers, the count of the one session.
        QVERIFY(!control("lstSessions")->isVisible() && !control("gutterSessions")->isVisible());
        QCOMPARE(m_client->viewport()->x(), m_server->viewport()->x());
        QVERIFY(control<QLabel>("lblDebit")->text().startsWith(QStringLiteral("client → serveur")));
        const QByteArray longLine(70000, 'z');
        server.send(longLine + "\r\n");
        client.send("QUIT");
        QVERIFY(server.waitForReceived(31));
        client.close();
        QTRY_VERIFY(m_conv->rowCount() == 108 && m_conv->isMarker(107)); // the end's mark
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        QTemporaryDir dir;
        const QString capture = dir.filePath(QStringLiteral("c.pcap"));
        TcpStream stream;
        QVERIFY(m_window->exportPcap(capture) && followStream(capture, 0, &stream));
        QCOMPARE(stream.fromClient, QByteArray("EHLO \xe9t\xe9\r\nMAIL FROM:<a@b>\r\nQUIT"));
        QCOMPARE(stream.fromServer, "220 pr\xc3\xaat\r\n" + many + longLine + "\r\n");
    }

    // Three clients at once: each session is listed, newest last, and chosen
    // in the list it fills the panes alone, as the transcript writes it; a new
    // session takes neither the selection nor the panes' place. A reset is
    // marked in the list, drawn apart, and the status line names its
    // session. "Toutes" numbers every row; Stop ends all still open. Saved and opened again, the
    // sessions are listed as they ended.
    void severalClientsAreListedAndEachIsShownAlone()
    {
        LineEchoServer server;
        const quint16 port = LoopbackPeer::unusedPort();
        openWith({QStringLiteral("--listen"), QString::number(port), QStringLiteral("--server"),
                  QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), QStringLiteral("--clients"), QStringLiteral(" 3"),
                  QStringLiteral("--start")});
        auto *list = control<SessionList>("lstSessions");
        QWidget *gutter = control("gutterSessions");
        const QAbstractItemModel *listed = list->model();
        const auto cell = [listed](int row, int column) { return listed->index(row, column).data().toString(); };
        QTRY_COMPARE(monitor().listeningPort(), port);
        QCOMPARE(control<QLineEdit>("txtClients")->text(), QStringLiteral(" 3")); // as typed
        QTRY_VERIFY(list->isVisible() && !gutter->isVisible() && list->geometry().right() < m_client->geometry().left());
        LoopbackPeer clients[3];
        for (int k = 0; k < 2; ++k) { // one after the other: numbered as they come
            clients[k].connectTo(port);
            QVERIFY(clients[k].waitForReceived(7));
            clients[k].send("EHLO " + QByteArray::number(k + 1) + "\r\n");
            QVERIFY(clients[k].waitForReceived(19));
        }
        QTRY_COMPARE(cell(2, SessionTable::ServerBytesColumn), QStringLiteral("19")); // "220 2" and "re: EHLO 2"
        for (int k = 0; k < 2; ++k)
            QCOMPARE(QStringList({cell(k + 1, 0), cell(k + 1, 1), cell(k + 1, 3), cell(k + 1, 4)}),
                     QStringList({QString::number(k + 1), QStringLiteral("127.0.0.1:%1").arg(clients[k].socket()->localPort()),
                                  QStringLiteral("en cours"), QStringLiteral("8")}));
        QCOMPARE(cell(0, 0), QStringLiteral("Toutes"));
        QTRY_VERIFY(control<QLabel>("lblDebit")->text().startsWith(QStringLiteral("2 sessions · client → serveur 16 o")));
        QVERIFY(gutter->isVisible() && m_client->viewport()->x() > m_server->viewport()->x());
        waitShown();
        Recorder numbers;
        gutter->render(&numbers);
        QStringList drawn;
        for (const Drawing::Text &t : numbers.engine.drawing.texts)
            drawn.append(t.text);
        QVERIFY2(drawn.contains(QStringLiteral("#1")) && drawn.contains(QStringLiteral("#2")), qPrintable(drawn.join(u',')));

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(listed->index(2, 1)).center());
        QCOMPARE(m_conv->shownSession(), 2);
        QVERIFY(!gutter->isVisible());
        const QStringList second = textList({"220 2", " ", "re: EHLO 2"});
        QTRY_COMPARE(shownRows(m_server).mid(1), second);
        clients[0].send("late\r\n"); // another session's rows stay out
        clients[2].connectTo(port);
        QVERIFY(clients[2].waitForReceived(7) && clients[0].waitForReceived(29));
        QTRY_COMPARE(listed->rowCount(), 4);
        QCOMPARE(list->selectionModel()->selectedRows().value(0).row(), 2);
        QCOMPARE(list->verticalScrollBar()->value(), 0);
        QCOMPARE(m_client->firstVisibleRow(), 0);
        QCOMPARE(shownRows(m_server).mid(1), second);

        clients[1].reset();
        QTRY_VERIFY(listed->index(2, 0).data(SessionTable::FailedRole).toBool());
        QCOMPARE(cell(2, 3), QStringLiteral("réinitialisée par le client"));
        QVERIFY2(failure().contains(QStringLiteral("#2 ")), qPrintable(failure()));
        QVERIFY(m_window->eventHistory().at(m_window->eventHistory().count() - 1).text.startsWith(QStringLiteral("#2 ")));
        QVERIFY(!listed->index(1, 0).data(SessionTable::FailedRole).toBool());
        QTRY_VERIFY(m_conv->isMarker(m_conv->rowCount() - 1)); // its end, in its own rows
        m_client->setFocus();
        m_window->copyRows();
        const QStringList copied = QGuiApplication::clipboard()->text().split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(copied.size(), m_conv->rowCount());
        for (const QString &line : copied)
            QVERIFY2(line.mid(13).startsWith(QStringLiteral("#2 ")), qPrintable(line));

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(listed->index(0, 0)).center());
        QCOMPARE(m_conv->shownSession(), 0);
        QVERIFY(gutter->isVisible());
        const auto ink = [&](int row) { // of the session's number, its row not selected
            Recorder recorder;
            list->viewport()->render(&recorder, QPoint(), QRegion(list->visualRect(listed->index(row, 0))), QWidget::RenderFlags());
            return recorder.engine.drawing.texts.value(0).colour;
        };
        QVERIFY(ink(2) != ink(1) && contrast(ink(2), list->palette().color(QPalette::Base)) >= 4.5);
        m_window->findChild<QPushButton *>(QStringLiteral("cmdStop"))->click(); // ends both sessions still open
        QTRY_COMPARE(cell(1, 3) + cell(3, 3), QStringLiteral("relais arrêté").repeated(2));

        QTemporaryDir dir;
        const QString saved = dir.filePath(QStringLiteral("t.txt"));
        QVERIFY(m_window->saveConversation(saved));
        m_conv->clear();
        QVERIFY(m_window->openConversation(saved));
        QTRY_COMPARE(listed->rowCount(), 4);
        QVERIFY(list->isVisible() && listed->index(2, 0).data(SessionTable::FailedRole).toBool()); // rebuilt: the table's suite tells how
    }

    // Either kind of clear, a double-click or "Ecouter", is undone by Ctrl+Z
    // or a click on the notice, which tells what the next undo would bring
    // back; the status line tells how many rows came back. (Which rows, in
    // what order, the model's own suite tells.)
    void clearsAreUndoneByKeyOrByClick()
    {
        addKnownRows(); // 4 rows
        auto *cleared = control<QLabel>("lblEffacement");
        QTest::mouseDClick(m_server->viewport(), Qt::LeftButton);
        QCOMPARE(m_conv->rowCount(), 0);
        addTwoSessions();
        const int rows = m_conv->rowCount();
        fillFields(LoopbackPeer::unusedPort());
        control("txtPortServeur")->setFocus();
        QTest::keyClick(control("txtPortServeur"), Qt::Key_Return); // Return in a field: "Ecouter"
        expectState(true);
        QTRY_COMPARE(m_conv->rowCount(), 0);
        QVERIFY(cleared->isVisible());
        QCOMPARE(cleared->text(), QStringLiteral("%1 lignes effacées — Ctrl+Z pour les rétablir").arg(rows));
        QTest::mouseClick(cleared, Qt::LeftButton);
        QTRY_COMPARE(m_conv->rowCount(), rows);
        QCOMPARE(cleared->text(), QStringLiteral("4 lignes effacées — Ctrl+Z pour les rétablir"));
        QTest::keyClick(m_client, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(m_conv->rowCount(), rows + 4);
        QVERIFY(!cleared->isVisible());
        QVERIFY(control("lblEvenement")->toolTip().startsWith(QStringLiteral("4 lignes rétablies")));
        QVERIFY(!m_window->undoClear()); // nothing more kept
    }

    // The history copies the rows selected, one event a line with its time,
    // shows the current one whole with its cause's technical name, and can
    // list failures alone, those arriving later included.
    void theHistoryCopiesWholeEventsAndCanListFailuresAlone()
    {
        EventHistory history;
        RelayEvent refused;
        refused.kind = RelayEvent::Kind::ServerFailed;
        refused.time = T0;
        refused.server = EndpointText::read(QStringLiteral("mx.example.org:25"));
        refused.cause = FailureCause::of(FailureCause::Kind::System, ECONNREFUSED);
        QVERIFY(history.append(refused).failure);
        const QString longNews = QStringLiteral("Certificat exporté dans « %1 »").arg(QString(400, QLatin1Char('d')));
        history.append(T0 + 1000, longNews, false);
        RelayEvent inUse;
        inUse.kind = RelayEvent::Kind::ListenFailed;
        inUse.time = T0 + 2000;
        inUse.listenPort = 25;
        inUse.error = QAbstractSocket::AddressInUseError;
        history.append(inUse);
        EventHistoryDialog dialog(&history, m_window);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog)); // for its shortcuts
        auto *list = dialog.findChild<QTreeWidget *>(QStringLiteral("lstHistorique"));
        auto *details = dialog.findChild<QPlainTextEdit *>(QStringLiteral("txtDetails"));
        const auto copied = [list]() {
            QGuiApplication::clipboard()->clear();
            list->setFocus();
            QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
            return QGuiApplication::clipboard()->text().split(QLatin1Char('\n'));
        };

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(1)).center());
        QCOMPARE(details->toPlainText(), QStringLiteral("14:03:23.418 ") + longNews); // whole, no cause to name
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ShiftModifier, list->visualItemRect(list->topLevelItem(2)).center());
        QVERIFY2(details->toPlainText().endsWith(QStringLiteral("\nCause technique : AddressInUseError")), qPrintable(details->toPlainText()));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, list->visualItemRect(list->topLevelItem(0)).center());
        QVERIFY(details->toPlainText().endsWith(QStringLiteral("(ECONNREFUSED). Client déconnecté, nouvelle écoute.\nCause technique : ECONNREFUSED")));
        QStringList lines = copied();
        QCOMPARE(lines.size(), 4); // each ended by a line feed
        QVERIFY(lines[0].startsWith(QStringLiteral("14:03:22.418 Connexion à mx.example.org:25 impossible")));
        QCOMPARE(lines[1], QStringLiteral("14:03:23.418 ") + longNews);
        QVERIFY(lines[2].startsWith(QStringLiteral("14:03:24.418 Écoute impossible")));

        auto *failuresOnly = dialog.findChild<QCheckBox *>(QStringLiteral("chkEchecs"));
        QTest::mouseClick(failuresOnly, Qt::LeftButton, {}, QPoint(4, failuresOnly->height() / 2));
        QVERIFY(list->topLevelItem(1)->isHidden() && !list->topLevelItem(2)->isHidden());
        history.append(T0 + 3000, QStringLiteral("Relais arrêté"), false);
        refused.time = T0 + 4000;
        history.append(refused);
        list->selectAll();
        lines = copied();
        QCOMPARE(lines.size(), 4); // two failures before, one after the news filtered out
        QVERIFY(lines[2].startsWith(QStringLiteral("14:03:26.418 Connexion à")));
    }
};

QTEST_MAIN(TstWindowSessions)
#include "tst_windowsessions.moc"
