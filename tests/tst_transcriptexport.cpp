#include "MainWindow.h"
#include "RowsFixture.h"

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
};

QTEST_MAIN(TstTranscriptExport)
#include "tst_transcriptexport.moc"
