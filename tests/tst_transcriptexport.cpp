#include "MainWindow.h"
#include "PaneView.h"

#include <QtTest>
#include <QtWidgets>

namespace {

LineCapture::Rows rowsOf(const QList<QByteArray> &lines)
{
    LineCapture::Rows rows;
    for (const QByteArray &line : lines) {
        rows.spans.append({rows.buffer.size(), line.size()});
        rows.buffer.append(line);
    }
    return rows;
}

// 14:03:22.418 local time, when the greeting arrives.
const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();

// A greeting, two client lines in one chunk 12 ms later, a Latin-1 reply 1,250 s after.
void fillKnownConversation(Conversation *conversation)
{
    conversation->appendRows(Side::Server, rowsOf({"220 pr\xc3\xaat"}), T0);
    conversation->appendRows(Side::Client, rowsOf({"EHLO a\\b", "tab\there\x1b[0m"}), T0 + 12);
    conversation->appendRows(Side::Server, rowsOf({"\xe9t\xe9"}), T0 + 12 + 1250);
}

const QByteArray KnownTranscript = "14:03:22.418 S: 220 pr\xc3\xaat\n"
                                   "14:03:22.430 C: EHLO a\\\\b\n"
                                   "14:03:22.430 C: tab\there\\x1b[0m\n"
                                   "14:03:23.680 S: \xc3\xa9t\xc3\xa9\n";

} // namespace

class TstTranscriptExport : public QObject
{
    Q_OBJECT

    MainWindow *m_window = nullptr;

private Q_SLOTS:
    void init()
    {
        m_window = new MainWindow;
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        fillKnownConversation(m_window->conversation());
    }
    void cleanup() { delete m_window; }

    void tooltipGivesTimeAndGapToThePreviousRow()
    {
        Conversation *conversation = m_window->conversation();
        conversation->appendRows(Side::Client, rowsOf({"later"}), T0 + 1262 + 999);
        // A clock set back between two chunks.
        conversation->appendRows(Side::Server, rowsOf({"earlier"}), T0 + 1262 + 999 - 5);
        const QStringList expected = {"14:03:22.418", "14:03:22.430 (+12 ms)",
                                      "14:03:22.430 (+0 ms)", "14:03:23.680 (+1,250 s)",
                                      "14:03:24.679 (+999 ms)",
                                      QStringLiteral("14:03:24.674 (\u22125 ms)")};
        QCOMPARE(conversation->rowCount(), int(expected.size()));
        for (int row = 0; row < conversation->rowCount(); ++row) {
            for (int column : {0, 1}) // both panes, alignment row or not
                QCOMPARE(conversation->index(row, column).data(Qt::ToolTipRole).toString(),
                         expected[row]);
        }
    }

    void failedSaveIsReportedThenSavingWritesTheStampedTranscript()
    {
        QTemporaryDir dir;
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        const QString absent = dir.filePath(QStringLiteral("absent/conversation.txt"));
        QVERIFY(!m_window->saveConversation(absent));
        QCOMPARE(reported.count(), 1);
        const QString message = reported.takeFirst().first().toString();
        const QString lead =
            QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: ").arg(absent);
        // The reason follows the path: something must be said there.
        QVERIFY2(message.startsWith(lead) && message.size() > lead.size(), qPrintable(message));
        auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->text(), message);
        QVERIFY(QDir(dir.path()).isEmpty());
        QCOMPARE(m_window->conversation()->rowCount(), 4);

        const QString path = dir.filePath(QStringLiteral("conversation.txt"));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::WriteOnly));
        saved.write(QByteArray(4096, 'x')); // an older, longer file is replaced whole
        saved.close();
        QVERIFY(m_window->saveConversation(path));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), KnownTranscript);
        saved.close();

        // More rows than one write holds: every row once, in order.
        Conversation *conversation = m_window->conversation();
        conversation->clear();
        QList<QByteArray> many;
        for (int i = 0; i < 40000; ++i)
            many.append("250 ligne " + QByteArray::number(i));
        conversation->appendRows(Side::Server, rowsOf(many), T0);
        QVERIFY(m_window->saveConversation(path));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = saved.readAll().split('\n');
        QCOMPARE(lines.size(), 40001);
        QCOMPARE(lines[16384], QByteArray("14:03:22.418 S: 250 ligne 16384"));
        QCOMPARE(lines[39999], QByteArray("14:03:22.418 S: 250 ligne 39999"));
        QVERIFY(lines[40000].isEmpty());
        QCOMPARE(reported.count(), 0);
    }

    void copyTakesTheSelectedRowOrEverything()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        auto *lstServeur = m_window->findChild<PaneView *>(QStringLiteral("lstServeur"));
        QClipboard *clipboard = QGuiApplication::clipboard();
        auto copyIn = [clipboard](QWidget *widget) {
            widget->setFocus();
            clipboard->clear();
            QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
            return clipboard->text();
        };
        // Row 2 is a client line, an alignment row in the server's pane: still the row copied.
        const QModelIndex row2 = lstServeur->model()->index(2, lstServeur->modelColumn());
        QTest::mouseClick(lstServeur->viewport(), Qt::LeftButton, {},
                          lstServeur->visualRect(row2).center());
        QCOMPARE(copyIn(lstServeur), QStringLiteral("14:03:22.430 C: tab\there\\x1b[0m\n"));
        // No selection in the client's pane: all of it.
        QCOMPARE(copyIn(m_window->findChild<PaneView *>(QStringLiteral("lstClient"))),
                 QString::fromUtf8(KnownTranscript));
        // In a field, Ctrl+C stays the field's own copy.
        auto *host = m_window->findChild<QLineEdit *>(QStringLiteral("txtAdresseServeur"));
        host->selectAll();
        QCOMPARE(copyIn(host), host->text());
    }
};

QTEST_MAIN(TstTranscriptExport)
#include "tst_transcriptexport.moc"
