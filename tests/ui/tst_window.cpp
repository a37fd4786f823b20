#include "WindowFixture.h"

// The window's controls: their layout, keys and texts, what they start and stop, the status line.
class TstWindow : public QObject, WindowFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // On a screen smaller than designed, the panes give up height first; at
    // either size every control of the configuration row stays inside its
    // border, clear of the caption on it, each caption level with its field,
    // and a box's text is whole where it fits, else cut with its tooltip
    // saying it all. Back at the design size, nothing has moved. (Run again
    // at a scale factor of 2.)
    void aSmallScreenShrinksThePanesFirstAndKeepsEveryControlWhole()
    {
        QWidget *area = m_window->centralWidget();
        auto *configuration = control<ConfigurationPanel>("Frame1");
        const QSize design = m_window->designClientSize();
        m_window->resize(m_window->size() - area->size() + design);
        QTRY_COMPARE(area->size(), design);
        const QList<QWidget *> row = configuration->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        const QRect stopAtDesign = control("cmdStop")->geometry();
        const int paneAtDesign = m_client->height();
        const QString insecure = control<QCheckBox>("chkTlsInsecure")->text().remove(QLatin1Char('&'));
        const QSize small(620, 470); // 1280x1024 at a scale factor of 2, less a window frame
        for (const QSize &size : {design, small}) {
            m_window->resize(m_window->size() - area->size() + size);
            QTRY_COMPARE(area->size(), size);
            const QRect inside = configuration->borderRect().adjusted(1, 1, -1, -1);
            for (QWidget *widget : row) {
                QVERIFY2(inside.contains(widget->geometry()) && !widget->geometry().intersects(configuration->captionRect()),
                         qPrintable(widget->objectName()));
                // What takes input overlaps nothing else that does (captions may touch).
                for (QWidget *other : row)
                    QVERIFY2(other == widget || widget->focusPolicy() == Qt::NoFocus || other->focusPolicy() == Qt::NoFocus
                                 || !other->geometry().intersects(widget->geometry()),
                             qPrintable(widget->objectName() + QLatin1Char('/') + other->objectName()));
            }
            for (auto *box : configuration->findChildren<QCheckBox *>()) {
                QVERIFY2(box->sizeHint().width() <= box->width(), qPrintable(box->text()));
                const QString text = box->text().remove(QLatin1Char('&')); // less its mnemonic
                const QString cut = text.chopped(1);
                QVERIFY(text == insecure || box != control("chkTlsInsecure")
                        || (text.endsWith(QChar(0x2026)) && insecure.startsWith(cut) && box->toolTip().startsWith(insecure)));
            }
            for (const auto &[caption, field] : {std::pair{"Label3", "txtPortClient"}, {"Label4", "txtAdresseServeur"}, {"Label5", "txtPortServeur"}})
                QVERIFY(qAbs(control(caption)->geometry().center().y() - control(field)->geometry().center().y()) <= 1);
        }
        QVERIFY(m_client->height() < paneAtDesign);
        QCOMPARE(control("cmdStop")->height(), stopAtDesign.height());
        for (QWidget *widget : {static_cast<QWidget *>(configuration), static_cast<QWidget *>(m_client), static_cast<QWidget *>(m_server)})
            QVERIFY(area->rect().contains(widget->geometry()));
        QVERIFY(!m_client->geometry().intersects(m_server->geometry()));
        m_window->resize(m_window->size() - area->size() + design);
        QTRY_COMPARE(control("cmdStop")->geometry(), stopAtDesign);
    }

    // Every pane action is in the panes' menu with its key, or the gesture
    // doing the same; every control of the row says what it does; F5 and
    // Shift+F5 start and stop, as their tooltips say.
    void everyActionIsFoundWithItsKeyAndEveryControlSaysWhatItDoes()
    {
        // Each with its own letter, Alt+letter in the open menu.
        const QStringList menu = textList({"E&ffacer\tdouble-clic", "&Rétablir l'effacement", "Re&chercher", "Échec &suivant",
                                           "Échec &précédent", "Suivre ce&tte session", "&Détails…", "C&opier", "&Enregistrer…", "O&uvrir…",
                                           "E&xporter en pcap…", "&Historique", "Exporter le certificat C&A…",
                                           "Aff&icher l'heure", "Re&jouer la session…", "Arrêter &le rejeu"});
        const QStringList keys = textList({"", "Ctrl+Z", "Ctrl+F", "F8", "Shift+F8", "", "Enter", "Ctrl+C", "Ctrl+S", "Ctrl+O", "", "Ctrl+H", "", "", "", ""});
        for (PaneView *pane : {m_client, m_server}) {
            QCOMPARE(pane->contextMenuPolicy(), Qt::ActionsContextMenu);
            QStringList texts, shortcuts;
            for (QAction *action : pane->actions()) {
                texts.append(action->text());
                shortcuts.append(action->shortcut().toString());
                QVERIFY(action->shortcut().isEmpty() || action->isShortcutVisibleInContextMenu());
            }
            QCOMPARE(texts, menu);
            QCOMPARE(shortcuts, keys);
        }
        fill(2);
        m_client->actions().first()->trigger();
        QCOMPARE(m_conv->rowCount(), 0);

        for (QWidget *widget : control("Frame1")->findChildren<QWidget *>())
            QVERIFY2(!widget->toolTip().isEmpty(), qPrintable(widget->objectName()));
        QVERIFY(control("txtPortClient")->toolTip().contains(QStringLiteral("Sur le port")));
        fillFields(LoopbackPeer::unusedPort());
        for (const auto &[button, caption, key] : {std::tuple{"cmdStart", "Ecouter", QKeySequence(Qt::Key_F5)},
                                                   {"cmdStop", "Stop !", QKeySequence(Qt::SHIFT | Qt::Key_F5)}}) {
            QCOMPARE(control<QPushButton>(button)->text().remove(QLatin1Char('&')), QString::fromLatin1(caption));
            QVERIFY(control(button)->toolTip().contains(key.toString(QKeySequence::NativeText)));
            QTest::keySequence(m_window, key);
            const bool started = button == std::string_view("cmdStart");
            QTRY_COMPARE(control("cmdStop")->isEnabled(), started); // the click is animated
            expectState(started);
        }
    }

    // The window opens on the local port; typing it fills the server port
    // keystroke by keystroke, nothing flows back.
    void theLocalPortMirrorsIntoTheServerPortNotBack()
    {
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
        add(Side::Client, {"a", "b"});
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        QCOMPARE(m_conv->rowCount(), 2); // until the port is had
        QTRY_COMPARE(QString::number(monitor().listeningPort()), control<QLineEdit>("txtPortClient")->text());
        QTRY_COMPARE(m_conv->rowCount(), 0); // once the Listening event reaches the window
        LoopbackPeer client;
        client.connectTo(monitor().listeningPort());
        QVERIFY(client.waitForDisconnected());
        auto *red = control<QLabel>("lblEchec");
        QTRY_VERIFY(status().contains(QStringLiteral("Session terminée"))); // a later event
        QVERIFY2(red->isVisible() && failure().contains(QStringLiteral("connexion refusée (ECONNREFUSED) — connexion à 127.0.0.1:")),
                 qPrintable(failure()));
        QCOMPARE(reported.count(), 0);
        expectState(true);
        QTRY_COMPARE(m_conv->rowCount(), 2); // the session's marks, the second saying why it ended
        QVERIFY(m_conv->isMarker(0) && m_conv->markerText(1).contains(QStringLiteral("serveur injoignable")));

        QTest::keyClick(m_client, Qt::Key_H, Qt::ControlModifier); // the history: seen
        QVERIFY(!red->isVisible());
        QTRY_VERIFY(m_window->findChild<EventHistoryDialog *>());

        control<QPushButton>("cmdStop")->click();
        expectState(false);
        QCOMPARE(m_conv->rowCount(), 2);
        QVERIFY(!monitor().isArmed());
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        m_window->setFieldTexts(QString::number(taken.serverPort()), QStringLiteral("127.0.0.1"),
                                QString::number(LoopbackPeer::unusedPort()));
        m_window->clickStart();
        QTRY_COMPARE(reported.count(), 1);
        expectState(false);
        QVERIFY(!monitor().isArmed());
        const QString message = boxedMessage(reported);
        QVERIFY(message.startsWith(QStringLiteral("Écoute impossible : le port %1 est déjà utilisé").arg(taken.serverPort())));
        QCOMPARE(m_conv->rowCount(), 2); // the panes as they were
        // The cause first, once: the failure is the last event.
        QVERIFY2(red->isVisible() && failure().endsWith(QStringLiteral("  port %1 déjà utilisé — écoute impossible").arg(taken.serverPort())),
                 qPrintable(failure()));
        QVERIFY(status().isEmpty());
        expectWholeWords();
        red->setMaximumWidth(red->fontMetrics().horizontalAdvance(failure()) * 2 / 3); // short of room
        QTRY_VERIFY(red->text().endsWith(QChar(0x2026)));
        expectWholeWords();
        // The port is what to change: ready to be typed over.
        m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"))->accept();
        auto *local = control<QLineEdit>("txtPortClient");
        QTRY_COMPARE(m_window->focusWidget(), local);
        QCOMPARE(local->selectedText(), local->text());
    }

    // A host that does not resolve is named first, with the bytes it cost;
    // while a session runs its byte counts are shown; a save says where and how much.
    void theStatusLineNamesTheCauseCountsBytesAndReportsSaves()
    {
        const quint16 port = LoopbackPeer::unusedPort();
        m_window->setFieldTexts(QString::number(port), QStringLiteral("nohost..invalid"), QStringLiteral("25"));
        m_window->clickStart();
        QTRY_COMPARE(monitor().listeningPort(), port);
        LoopbackPeer client;
        client.connectTo(port);
        client.send("EHLO hote\r\n");
        QVERIFY(client.waitForDisconnected());
        QTRY_VERIFY(status().contains(QStringLiteral("Session terminée")));
        QVERIFY2(failure().contains(QStringLiteral("  hôte introuvable : nohost..invalid")), qPrintable(failure()));
        QVERIFY(!status().contains(QStringLiteral("introuvable")));
        control<QPushButton>("cmdStop")->click();

        LoopbackPeer server, talker;
        QVERIFY(server.listen());
        server.setGreeting("220 ok\r\n");
        fillFields(server.serverPort());
        m_window->clickStart();
        QTRY_VERIFY(monitor().listeningPort() != 0);
        talker.connectTo(monitor().listeningPort());
        QVERIFY(talker.waitForReceived(8));
        talker.send(QByteArray(1204, 'a'));
        QVERIFY(server.waitForReceived(1204));
        auto *counts = control<QLabel>("lblDebit");
        QTRY_COMPARE(counts->text(), QStringLiteral("client → serveur 1\u202f204 o · serveur → client 8 o"));
        QVERIFY(counts->isVisible());
        talker.close();
        QTRY_VERIFY(!counts->isVisible()); // the session's end says its totals
        control<QPushButton>("cmdStop")->click();

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("saved.txt"));
        QVERIFY(m_window->saveConversation(path));
        QCOMPARE(status().mid(10), QStringLiteral("Conversation enregistrée : %1, %2 lignes").arg(path).arg(m_conv->rowCount()));
        expectWholeWords();
    }

    void badInputIsReportedAndStartsNothing_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QStringList>("fields"); // as shown afterwards, "Clients à la fois" last
        QTest::addColumn<QString>("named");      // in the message
        QTest::addColumn<QString>("atFault");    // has the focus once the box is closed
        // Which field each fault names, and how, is the relay suite's: here what only the window does.
        const QByteArray ok = QByteArray::number(LoopbackPeer::unusedPort());
        const char *port = ok.constData();
        QTest::newRow("local port 0") << QStringLiteral("click") << textList({"0", "127.0.0.1", port, "1"})
                                      << QStringLiteral("Serveur sur le port") << QStringLiteral("txtPortClient");
        QTest::newRow("server port") << QStringLiteral("click") << textList({port, "127.0.0.1", "x", "1"}) << QStringLiteral("Sur le port")
                                     << QStringLiteral("txtPortServeur");
        QTest::newRow("empty host") << QStringLiteral("click") << textList({port, "", port, "1"}) << QStringLiteral("Redirige vers")
                                    << QStringLiteral("txtAdresseServeur");
        // Checked after the three others, as the row reads.
        // Dravlin's own port, on any of its names or addresses, is refused, as
        // is a host no resolver could take; the message names both values.
        for (const char *self : {"127.0.0.1", "localhost", "::1", "0.0.0.0", "[::ffff:127.0.0.1]"})
            QTest::addRow("self %s", self) << QStringLiteral("click") << textList({port, self, port, "4"})
                                           << QStringLiteral("port %1 (« Redirige vers », « Sur le port »), est Dravlin lui-même")
                                                  .arg(QLatin1String(port))
                                           << QStringLiteral("txtAdresseServeur");
        QTest::newRow("host with a space") << QStringLiteral("click") << textList({port, "mail server.example", "25", "1"})
                                           << QStringLiteral("« mail server.example » n'est ni un nom d'hôte ni une adresse IP")
                                           << QStringLiteral("txtAdresseServeur");
        for (const char *clients : {"0", "65", " ", "2x", "-3"})
            QTest::addRow("%s clients", clients) << QStringLiteral("click") << textList({port, "127.0.0.1", "25", clients})
                                                 << QStringLiteral("« Clients à la fois ») invalide : « %1 »").arg(QLatin1String(clients))
                                                 << QStringLiteral("txtClients");
        QTest::newRow("TLS without its authority") << QStringLiteral("tls") << textList({port, "127.0.0.1", "25", "1"})
                                                   << QStringLiteral("dravlin") << QString();
        // --start clicks for the user: the same box, the values shown as typed.
        QTest::newRow("command line") << QStringLiteral("options") << textList({"vingt", "127.0.0.1", "vingt", "64"})
                                      << QStringLiteral("Serveur sur le port") << QStringLiteral("txtPortClient");
    }

    void badInputIsReportedAndStartsNothing()
    {
        QFETCH(QString, route);
        QFETCH(QStringList, fields);
        QFETCH(QString, named);
        QFETCH(QString, atFault);
        add(Side::Client, {"a", "b"});
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QTemporaryDir home;
        if (route == QLatin1String("options")) {
            openWith({QStringLiteral("--listen"), fields[0], QStringLiteral("--server"), fields[1], QStringLiteral("--clients"),
                      fields[3], QStringLiteral("--start")});
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
            m_window->configuration()->setClientsText(fields[3]);
            m_window->clickStart();
        }
        // A CA that cannot be had is told by the relay's thread, a moment later.
        QTRY_COMPARE(reported.count(), 1);
        const QString message = boxedMessage(reported);
        QVERIFY2(message.contains(named), qPrintable(message));
        expectState(false);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(control<QLineEdit>(Fields[i])->text(), fields[i]);
        QCOMPARE(m_conv->rowCount(), 2);
        QVERIFY(!monitor().isArmed());
        m_client->setFocus(); // not where the fault is, as after a click elsewhere
        m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"))->accept();
        if (!atFault.isEmpty()) {
            auto *field = control<QLineEdit>(atFault.toLatin1().constData());
            QTRY_COMPARE(m_window->focusWidget(), field); // where the focus is, once the window is active
            QCOMPARE(field->selectedText(), field->text());
        }
    }

    // The boxes reach the relay; each handshake leaves one mark, whose tooltip
    // details it, and the rows after it are flagged as decrypted.
    void tlsBoxesReachTheRelayAndEachHandshakeIsMarked()
    {
        QTemporaryDir home;
        CertificateAuthority serverCa(home.filePath(QStringLiteral("server-ca")));
        QVERIFY(serverCa.ensure().isNone());
        FakeServer server(serverCa, {});
        RelaySettings::Tls tls;
        tls.caDirectory = home.filePath(QStringLiteral("dravlin"));
        m_window->setTlsSettings(tls);
        control<QCheckBox>("chkTls")->click();
        control<QCheckBox>("chkTlsInsecure")->click(); // the server's CA is known to nobody
        fillFields(server.listener.serverPort());
        m_window->clickStart();
        QTRY_VERIFY(monitor().listeningPort() != 0);
        // While relaying, no file is opened over the live rows; the client is
        // given to trust the CA certificate the window exports.
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QVERIFY(!m_window->openConversation(home.filePath(QStringLiteral("any.txt"))));
        QVERIFY(boxedMessage(reported).contains(QStringLiteral("avant d'ouvrir une conversation")));
        const QString exported = home.filePath(QStringLiteral("exported.crt"));
        QVERIFY(m_window->exportCaCertificate(exported));
        QVERIFY(status().contains(QDir::toNativeSeparators(exported)));
        QByteArray heard;
        const QString failed = StartTlsClient::converse(monitor().listeningPort(), exported, &heard);
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
        QTRY_VERIFY(monitor().listeningPort() != 0);
        QSignalSpy finished(&monitor(), &Monitor::finished);
        qint64 read = 0;
        connect(&monitor(), &Monitor::chunkRelayed, this, [&read](const Chunk &chunk) {
            read += chunk.side == Side::Client ? chunk.bytes.size() : 0;
        });
        LoopbackPeer client;
        client.connectTo(monitor().listeningPort());
        QByteArray request; // less than the relay queues before it stops reading the client
        while (request.size() < RelaySession::SendQueueBound * 3 / 4)
            request += "RCPT TO:<destinataire" + QByteArray::number(request.size()) + "@exemple.org>\r\n";
        client.send(request);
        // Read, and still queued here or in the kernel: the server has taken nothing.
        QTRY_VERIFY_WITH_TIMEOUT(read == request.size(), 10000);

        QTimer::singleShot(0, m_window, &QWidget::close);
        QTimer::singleShot(0, m_window, [&server] { server.release(); });
        QTimer::singleShot(15000, qApp, &QCoreApplication::quit); // in case nothing ends it
        QApplication::exec();
        QCOMPARE(finished.count(), 1); // else the timer ended it
        QCOMPARE(finished[0], (QVariantList{qint64(0), qint64(0)})); // nothing owed left behind
        QVERIFY(server.waitDone());
        QVERIFY(server.cleanEnd);
        QCOMPARE(server.received, request);
    }
};

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
