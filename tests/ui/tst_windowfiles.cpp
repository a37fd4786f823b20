#include "WindowFixture.h"
#include "ConversationTranscript.h"

// The window's files and clipboard: copy, save, export, open.
class TstWindowFiles : public QObject, WindowFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // Ctrl+C copies rows as the transcript writes them: the rows selected,
    // by mouse or keys in either pane, else all of them.
    void copyTakesTheSelectedRowsOrEverything()
    {
        addKnownRows();
        const auto copyIn = [](QWidget *widget) {
            widget->setFocus();
            QGuiApplication::clipboard()->clear();
            QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
            return QGuiApplication::clipboard()->text();
        };
        const auto lines = [this](const Rows &rows) {
            QByteArray text;
            for (int row : rows)
                text += ConversationTranscript::lines(*m_conv, row, 1);
            return QString::fromUtf8(text);
        };
        // Row 2 is a client line, an alignment row in the server's pane: still the row copied.
        waitShown();
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, {}, rowCentre(m_server, 2));
        QCOMPARE(copyIn(m_server), QStringLiteral("14:03:22.430 C: tab\there\\x1b[0m\n"));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, Qt::ShiftModifier, rowCentre(m_client, 0));
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(m_server, 1));
        QCOMPARE(copyIn(m_client), lines({0, 2}));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, rowCentre(m_client, 3));
        QTest::keyClick(m_client, Qt::Key_Up, Qt::ShiftModifier);
        QTest::keyClick(m_client, Qt::Key_Up, Qt::ShiftModifier);
        QCOMPARE(m_server->selectedRows(), (Rows{1, 2, 3}));
        QCOMPARE(copyIn(m_server), lines({1, 2, 3}));
        // A click below the rows leaves none selected: all of it (how the
        // transcript escapes is the console's and the reader's suites').
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, QPoint(10, m_client->viewport()->height() - 5));
        QCOMPARE(copyIn(m_client), QString::fromUtf8(ConversationTranscript::lines(*m_conv, 0, m_conv->rowCount())));
        // Each row's tooltip, in both panes, tells its time and the gap since the row before.
        for (int column : {0, 1})
            QCOMPARE(m_conv->index(3, column).data(Qt::ToolTipRole).toString(), QStringLiteral("14:03:23.680 (+1,250 s)"));
    }

    // Any bytes, marks, sides and times survive a save and an open from the
    // command line, and the file shown is read-only until "Ecouter". Saved and
    // exported files replace an older one, longer and readable by all, with
    // one for the owner only; a failure says why, in French, and changes nothing.
    // The export holds each session between its marks as one TCP stream
    // between the marks' endpoints, its rows each ended by CR LF as sent.
    void savedAndExportedFilesKeepEveryByteForTheOwnerOnly()
    {
        addKnownRows();
        addTwoSessions();
        add(Side::Server, {"250 ok"}, T0 + 7200, true); // through TLS: the file does not tell it apart
        const int rows = m_conv->rowCount();
        const QByteArray saved = ConversationTranscript::lines(*m_conv, 0, rows);
        QTemporaryDir dir;
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        const QString absent = dir.filePath(QStringLiteral("absent/conversation.txt"));
        QVERIFY(!m_window->saveConversation(absent));
        const QString lead = QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: ").arg(absent);
        QVERIFY2(boxedMessage(reported) == lead + QStringLiteral("fichier ou dossier introuvable (ENOENT)"),
                 qPrintable(reported.value(0).value(0).toString()));
        QVERIFY(QDir(dir.path()).isEmpty());
        reported.clear();

        // The capture's name is a link planted towards another file: the link
        // itself is replaced, its target never opened.
        const QString kept = dir.filePath(QStringLiteral("<b>conversation.txt")), capture = dir.filePath(QStringLiteral("c.pcap"));
        const QString target = dir.filePath(QStringLiteral("target"));
        const QFileDevice::Permissions wide = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther;
        for (const QString &path : {kept, target}) {
            QFile older(path);
            QVERIFY(older.open(QIODevice::WriteOnly) && older.write(QByteArray(64 * 1024, 'x')) == 64 * 1024
                    && older.setPermissions(wide));
        }
        QVERIFY(QFile::link(target, capture));
        QVERIFY(m_window->saveConversation(kept) && m_window->exportPcap(capture));
        for (const QString &path : {kept, capture})
            QCOMPARE(QFileInfo(path).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(!QFileInfo(capture).isSymLink());
        QCOMPARE(QFileInfo(target).size(), 64 * 1024);
        QCOMPARE(QFile::permissions(target) & 0x7077, wide);
        QVERIFY(!QDir(dir.path()).entryList(QDir::Files).join(QLatin1Char(' ')).contains(QLatin1String(".pcap.")));
        m_conv->clear();
        openWith({QStringLiteral("--open"), kept});
        QTRY_COMPARE(m_conv->rowCount(), rows);
        QVERIFY(m_window->windowTitle().contains(QStringLiteral("lecture seule")));
        QCOMPARE(shownText(control<QLabel>("lblEvenement")), status());
        QTest::mouseDClick(m_client->viewport(), Qt::LeftButton);
        QCOMPARE(m_conv->rowCount(), rows); // read-only: a double-click clears nothing

        QFile bad(dir.filePath(QStringLiteral("<b>bad.txt")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("14:03:22.418 S: 220 ok\n14:03:22.430 -- mark\n14:03:22.431 X: what\n");
        bad.close();
        QVERIFY(!m_window->openConversation(bad.fileName()));
        const QString message = reported.value(0).value(0).toString();
        QVERIFY2(message.contains(QStringLiteral("bad.txt")) && message.contains(QStringLiteral("ligne 3\u00a0:")),
                 qPrintable(message));
        const auto boxes = m_window->findChildren<QMessageBox *>(QStringLiteral("msgErreur"));
        QCOMPARE(shownText(boxes.last()->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))), message);
        QCOMPARE(ConversationTranscript::lines(*m_conv, 0, m_conv->rowCount()), saved); // read back whole, and left so

        // A last line cut short (a console killed): the lines before it open,
        // and the window says which line was left out.
        QFile cut(dir.filePath(QStringLiteral("cut.txt")));
        QVERIFY(cut.open(QIODevice::WriteOnly) && cut.write("14:03:22.418 S: 220 ok\n14:03:22.419 C: a\\x4") > 0);
        cut.close();
        reported.clear();
        QVERIFY(m_window->openConversation(cut.fileName()));
        QCOMPARE(ConversationTranscript::lines(*m_conv, 0, m_conv->rowCount()), QByteArray("14:03:22.418 S: 220 ok\n"));
        QVERIFY2(reported.count() == 1 && reported[0][0].toString().contains(QStringLiteral("la dernière ligne (ligne 2) est coupée")),
                 qPrintable(reported.value(0).value(0).toString()));

        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        TcpStream stream;
        QVERIFY(followStream(capture, 0, &stream)); // the rows before the first mark make a session of their own
        QCOMPARE(stream.fromServer, QByteArray("220 pr\xc3\xaat\r\n\xe9t\xe9\r\n"));
        QCOMPARE(stream.fromClient, QByteArray("EHLO a\\b\r\ntab\there\x1b[0m\r\n"));
        QVERIFY(followStream(capture, 2, &stream));
        QCOMPARE(stream.clientNode + QLatin1Char(' ') + stream.serverNode, QStringLiteral("[::1]:40114 [::1]:2525"));
        QCOMPARE(stream.fromClient, everyByte() + "\r\n\xc3\xa9t\xc3\xa9\r\n\xe9t\xe9\r\n\r\n");
        QVERIFY(stream.fromServer.isEmpty());
    }

    // A full disk is named in the user's words on save and on export, and
    // leaves no half-written file.
    void aFullDiskIsNamedOnSaveAndExport()
    {
        addKnownRows();
        QTemporaryDir dir;
        if (QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                        QStringLiteral("size=64k"), QStringLiteral("tmpfs"), dir.path()}) != 0)
            QSKIP("a small tmpfs cannot be mounted here (needs root)");
        const auto unmount = qScopeGuard([&dir] { QProcess::execute(QStringLiteral("umount"), {dir.path()}); });
        QFile filler(dir.filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        for (int i = 0; i < 64 && filler.write(QByteArray(4096, 'f')) == 4096; ++i) {
        }
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QVERIFY(!m_window->saveConversation(dir.filePath(QStringLiteral("c.txt"))));
        QVERIFY(!m_window->exportPcap(dir.filePath(QStringLiteral("c.pcap"))));
        QCOMPARE(reported.count(), 2);
        for (const QList<QVariant> &report : std::as_const(reported))
            QVERIFY2(report.value(0).toString().endsWith(QStringLiteral("\u00a0: plus de place sur le disque (ENOSPC)")),
                     qPrintable(report.value(0).toString()));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("filler")});
    }

    // A file opened comes back exact when saved, marks whose bytes are not
    // UTF-8 included; the rows between a TLS mark and the session's end get
    // their padlocks again; a mark of megabytes is handed to the panes, its
    // tooltip and its details only as far as they can show it.
    void anOpenedFileComesBackExactWithItsPadlocksAndLongMarksShownCut()
    {
        const QByteArray longMark(2 << 20, 'm');
        const QByteArray text = "10:00:00.000 -- [open client=127.0.0.1:40112 server=127.0.0.1:2525] 10:00:00.000 \xc2\xb7 "
                                "client 127.0.0.1:40112 \xe2\x86\x92 127.0.0.1:2525\n"
                                "10:00:00.001 S: 220 ok\n10:00:00.002 -- [tls side=client upgrade=smtp protocol=TLSv1.3 cipher=X] "
                                "TLS client \xc2\xb7 TLSv1.3\n10:00:00.003 C: EHLO a\n10:00:00.004 S: 250 ok\n"
                                "10:00:00.005 -- [end how=closed-by-client side=client c2s=8 s2c=14 ms=5] 10:00:00.005 \xc2\xb7 "
                                "ferm\xc3\xa9" "e par le client\n"
                                "10:00:00.006 -- \\xff\\xfe\n10:00:00.007 -- " + longMark + "\n10:00:00.008 C: plain\n";
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("tls.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();
        QVERIFY(m_window->openConversation(file.fileName()));
        QCOMPARE(m_conv->rowCount(), 9);
        QVERIFY(m_conv->index(3, 0).data(Conversation::EncryptedRole).toBool() && !m_conv->index(8, 0).data(Conversation::EncryptedRole).toBool());
        const QModelIndex mark = m_conv->index(7, 0);
        QVERIFY(mark.data(Conversation::ShownTextRole).toString().size() <= Conversation::ShownChars + 1);
        QVERIFY(mark.data(Qt::ToolTipRole).toString().size() <= Conversation::ShownChars + 1);
        waitShown();
        RowDetailsDialog *details = openDetails(m_client, 7, true);
        QVERIFY(details && details->findChild<QLabel *>(QStringLiteral("lblLongueur"))->text().contains(QStringLiteral("premiers")));
        delete details;
        const QString saved = dir.filePath(QStringLiteral("saved.txt"));
        QVERIFY(m_window->saveConversation(saved));
        QFile back(saved);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), text);
    }

    // A FIFO or a file over the limit is refused at once, saying why; an open
    // or an export cancelled from its progress dialog leaves the panes as they
    // were and no file behind.
    void onlyOrdinaryFilesOpenAndCancelledWorkLeavesNothingHalfDone()
    {
        addKnownRows();
        const QByteArray before = ConversationTranscript::lines(*m_conv, 0, m_conv->rowCount());
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("fifo.txt")), huge = dir.filePath(QStringLiteral("huge.txt"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QFile big(huge);
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64{1} << 31)); // sparse
        big.close();
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QVERIFY(!m_window->openConversation(fifo) && !m_window->openConversation(huge));
        QCOMPARE(reported.count(), 2);
        QVERIFY(reported[0][0].toString().contains(QStringLiteral("tube nommé")));
        QVERIFY(reported[1][0].toString().contains(QStringLiteral("(1\u202f024 Mio) que Dravlin ouvre au plus")));

        QTimer canceller; // cancels once the first slice is done
        connect(&canceller, &QTimer::timeout, this, [this] {
            auto *progress = m_window->findChild<QProgressDialog *>(QStringLiteral("dlgProgression"));
            if (progress && progress->value() >= 1)
                progress->findChild<QPushButton *>()->click();
        });
        QFile large(dir.filePath(QStringLiteral("large.txt")));
        QVERIFY(large.open(QIODevice::WriteOnly));
        for (int i = 0; i < 50000; ++i)
            large.write("14:00:00.000 C: " + QByteArray(64, 'x') + '\n');
        large.close();
        canceller.start(0);
        QVERIFY(!m_window->openConversation(large.fileName()));
        QCOMPARE(ConversationTranscript::lines(*m_conv, 0, m_conv->rowCount()), before);
        add(Side::Client, QList<QByteArray>(10000, QByteArray(400, 'r')), T0 + 2000); // several slices
        const QString capture = dir.filePath(QStringLiteral("c.pcap"));
        QVERIFY(!m_window->exportPcap(capture));
        canceller.stop();
        QCOMPARE(reported.count(), 2);
        QVERIFY(!QFile::exists(capture));
        QVERIFY(m_window->exportPcap(capture));
    }
};

QTEST_MAIN(TstWindowFiles)
#include "tst_windowfiles.moc"
