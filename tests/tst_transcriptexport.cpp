#include "MainWindow.h"
#include "RowsFixture.h"
#include "SessionMarks.h"
#include "TsharkStreams.h"

#include <QtTest>
#include <QtWidgets>

// 14:03:22.418 local time, when the greeting arrives.
static const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();
static const QByteArray KnownTranscript = "14:03:22.418 S: 220 pr\xc3\xaat\n"
                                          "14:03:22.430 C: EHLO a\\\\b\n"
                                          "14:03:22.430 C: tab\there\\x1b[0m\n"
                                          "14:03:23.680 S: \\xe9t\\xe9\n";

class TstTranscriptExport : public QObject
{
    Q_OBJECT
    MainWindow *m_window = nullptr;
    Conversation *m_conv = nullptr;

private Q_SLOTS:
    void init()
    {
        m_window = new MainWindow;
        // A greeting, two client lines in one chunk 12 ms later, a Latin-1 reply 1,250 s after.
        m_conv = m_window->conversation();
        m_conv->appendRows(Side::Server, rowsOf({"220 pr\xc3\xaat"}), T0);
        m_conv->appendRows(Side::Client, rowsOf({"EHLO a\\b", "tab\there\x1b[0m"}), T0 + 12);
        m_conv->appendRows(Side::Server, rowsOf({"\xe9t\xe9"}), T0 + 12 + 1250);
    }
    void cleanup() { delete m_window; }

    void tooltipGivesTimeAndGapToThePreviousRow()
    {
        m_conv->appendRows(Side::Client, rowsOf({"later"}), T0 + 1262 + 999);
        m_conv->appendRows(Side::Server, rowsOf({"earlier"}), T0 + 1262 + 999 - 5); // clock set back
        const QStringList expected = {"14:03:22.418", "14:03:22.430 (+12 ms)", "14:03:22.430 (+0 ms)",
                                      "14:03:23.680 (+1,250 s)", "14:03:24.679 (+999 ms)",
                                      QStringLiteral("14:03:24.674 (\u22125 ms)")};
        QCOMPARE(m_conv->rowCount(), int(expected.size()));
        for (int row = 0; row < m_conv->rowCount(); ++row)
            for (int column : {0, 1}) // both panes, alignment row or not
                QCOMPARE(m_conv->index(row, column).data(Qt::ToolTipRole).toString(), expected[row]);
    }

    void failedSaveIsReportedThenSavingWritesTheStampedTranscript()
    {
        QTemporaryDir dir;
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        const QString absent = dir.filePath(QStringLiteral("absent/conversation.txt"));
        QVERIFY(!m_window->saveConversation(absent));
        QCOMPARE(reported.count(), 1);
        const QString message = reported.takeFirst().first().toString();
        const QString lead = QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: ").arg(absent);
        QVERIFY2(message.startsWith(lead) && message.size() > lead.size(), qPrintable(message));
        auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
        QVERIFY(box && box->isVisible() && box->text() == message);
        QVERIFY(QDir(dir.path()).isEmpty());
        QCOMPARE(m_conv->rowCount(), 4);
        QFile saved(dir.filePath(QStringLiteral("conversation.txt")));
        QVERIFY(saved.open(QIODevice::WriteOnly) && saved.write(QByteArray(4096, 'x')) == 4096);
        saved.close();
        QVERIFY(m_window->saveConversation(saved.fileName()));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), KnownTranscript); // the older, longer file replaced whole
        QCOMPARE(reported.count(), 0);
    }

    void copyTakesTheSelectedRowOrEverything()
    {
        m_window->show();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        auto copyIn = [](QWidget *widget) {
            widget->setFocus();
            QGuiApplication::clipboard()->clear();
            QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
            return QGuiApplication::clipboard()->text();
        };
        // Row 2 is a client line, an alignment row in the server's pane: still the row copied.
        auto *lstServeur = m_window->findChild<PaneView *>(QStringLiteral("lstServeur"));
        QTRY_COMPARE(lstServeur->model()->rowCount(), m_conv->rowCount()); // shown at the panes' pace
        QTest::mouseClick(lstServeur->viewport(), Qt::LeftButton, {}, rowCentre(lstServeur, 2));
        QCOMPARE(copyIn(lstServeur), QStringLiteral("14:03:22.430 C: tab\there\\x1b[0m\n"));
        // No selection in the client's pane: all of it.
        QCOMPARE(copyIn(m_window->findChild<PaneView *>(QStringLiteral("lstClient"))),
                 QString::fromUtf8(KnownTranscript));
    }

private:
    // Sessions framed by their marks, as the relay leaves them: a client
    // closing, then one the server resets.
    void addTwoSessions()
    {
        RelayEvent begin;
        begin.kind = RelayEvent::Kind::ClientConnected;
        begin.time = T0 + 5000;
        begin.client = QStringLiteral("127.0.0.1:40112");
        begin.server = QStringLiteral("127.0.0.1:2525");
        RelayEvent end = begin;
        end.kind = RelayEvent::Kind::SessionEnded;
        end.end = RelayEvent::End::ClosedByClient;
        end.time = T0 + 6000;
        m_conv->appendMarker(begin.time, SessionMarks::text(begin));
        m_conv->appendRows(Side::Server, rowsOf({"220 ok"}), T0 + 5001);
        m_conv->appendRows(Side::Client, rowsOf({"QUIT"}), T0 + 5002);
        m_conv->appendMarker(end.time, SessionMarks::text(end));
        begin.time = T0 + 7000;
        begin.client = QStringLiteral("[::1]:40114");
        begin.server = QStringLiteral("[::1]:2525");
        m_conv->appendMarker(begin.time, SessionMarks::text(begin));
        QByteArray everyByte;
        for (int i = 0; i < 256; ++i)
            everyByte.append(char(i));
        m_conv->appendRows(Side::Client, rowsOf({everyByte, "\xc3\xa9t\xc3\xa9", "\xe9t\xe9", ""}), T0 + 7001);
        end.time = T0 + 7100;
        end.end = RelayEvent::End::ResetByServer;
        m_conv->appendMarker(end.time, SessionMarks::text(end));
    }

private Q_SLOTS:
    // Any bytes, marks, sides and times survive save -> open -> save, and
    // the file shown is read-only until "Ecouter". A malformed file is named
    // by its line and leaves the panes as they were.
    void saveOpenSaveIsIdenticalAndAMalformedFileChangesNothing()
    {
        addTwoSessions();
        // Rows that came through TLS show a lock in their own pane only; the
        // transcript does not tell them apart (TLS marks do).
        m_conv->appendRows(Side::Server, rowsOf({"250 ok"}), T0 + 7200, true);
        const int locked = m_conv->rowCount() - 1;
        QVERIFY(m_conv->index(locked, 1).data(Conversation::EncryptedRole).toBool());
        QVERIFY(!m_conv->index(locked, 0).data(Conversation::EncryptedRole).toBool());
        QCOMPARE(m_conv->transcript(locked, 1), QByteArray("14:03:29.618 S: 250 ok\n"));
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("first.txt")), second = dir.filePath(QStringLiteral("second.txt"));
        QVERIFY(m_window->saveConversation(first));
        const int rows = m_conv->rowCount();
        QList<QByteArray> before;
        for (int row = 0; row < rows; ++row)
            before.append(m_conv->bytes(row).toByteArray());
        m_conv->clear();
        QVERIFY(m_window->openConversation(first));
        QCOMPARE(m_conv->rowCount(), rows);
        for (int row = 0; row < rows; ++row)
            QCOMPARE(m_conv->bytes(row).toByteArray(), before[row]);
        QVERIFY(m_conv->isMarker(4) && m_conv->side(6) == Side::Client && !m_conv->isMarker(6));
        QVERIFY(!m_conv->isEncrypted(locked));
        QVERIFY(m_window->saveConversation(second));
        QFile a(first), b(second);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        const QByteArray saved = a.readAll();
        QCOMPARE(b.readAll(), saved);
        QVERIFY(saved.contains(" C: \\xe9t\\xe9\n") && saved.contains(" C: \xc3\xa9t\xc3\xa9\n"));
        QVERIFY(m_window->windowTitle().contains(QStringLiteral("lecture seule")));
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        auto *lstClient = m_window->findChild<PaneView *>(QStringLiteral("lstClient"));
        QTest::mouseDClick(lstClient->viewport(), Qt::LeftButton);
        QCOMPARE(m_conv->rowCount(), rows); // read-only: a double-click clears nothing

        QFile bad(dir.filePath(QStringLiteral("bad.txt")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("14:03:22.418 S: 220 ok\n14:03:22.430 -- mark\n14:03:22.431 X: what\n");
        bad.close();
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QVERIFY(!m_window->openConversation(bad.fileName()));
        QCOMPARE(reported.count(), 1);
        const QString message = reported.first().first().toString();
        QVERIFY2(message.contains(QStringLiteral("bad.txt")) && message.contains(QStringLiteral("ligne 3\u00a0:")),
                 qPrintable(message));
        QCOMPARE(m_conv->transcript(0, m_conv->rowCount()), saved);
    }

    // The window's export: each session between its marks is one TCP stream
    // between the marks' endpoints, holding its rows each ended by CR LF.
    void pcapExportReadBackByTshark()
    {
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        addTwoSessions();
        QTemporaryDir dir;
        const QString capture = dir.filePath(QStringLiteral("c.pcap"));
        QVERIFY(m_window->exportPcap(capture));
        // The rows before the first mark make a session of their own.
        TcpStream stream;
        QVERIFY(followStream(capture, 0, &stream));
        QCOMPARE(stream.fromServer, QByteArray("220 pr\xc3\xaat\r\n\xe9t\xe9\r\n"));
        QCOMPARE(stream.fromClient, QByteArray("EHLO a\\b\r\ntab\there\x1b[0m\r\n"));
        QVERIFY(followStream(capture, 1, &stream));
        QCOMPARE(stream.clientNode, QStringLiteral("127.0.0.1:40112"));
        QCOMPARE(stream.serverNode, QStringLiteral("127.0.0.1:2525"));
        QCOMPARE(stream.fromServer, QByteArray("220 ok\r\n"));
        QCOMPARE(stream.fromClient, QByteArray("QUIT\r\n"));
        QVERIFY(followStream(capture, 2, &stream));
        QCOMPARE(stream.serverNode, QStringLiteral("[::1]:2525"));
        QByteArray everyByte;
        for (int i = 0; i < 256; ++i)
            everyByte.append(char(i));
        QCOMPARE(stream.fromClient, everyByte + "\r\n\xc3\xa9t\xc3\xa9\r\n\xe9t\xe9\r\n\r\n");
        QVERIFY(stream.fromServer.isEmpty());
    }
};

QTEST_MAIN(TstTranscriptExport)
#include "tst_transcriptexport.moc"
