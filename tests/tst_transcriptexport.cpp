#include "MainWindow.h"
#include "PaneView.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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

// 14:03:22.418 local time, the moment the greeting below arrives.
qint64 greetingMsecs()
{
    return QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();
}

// A server greeting, two client lines in one chunk 12 ms later, and a reply
// in Latin-1 1,250 s after that: escapes, a backslash and non-UTF-8 included.
void fillKnownConversation(Conversation *conversation)
{
    const qint64 t0 = greetingMsecs();
    conversation->appendRows(Side::Server, rowsOf({"220 pr\xc3\xaat"}), t0);
    conversation->appendRows(Side::Client, rowsOf({"EHLO a\\b", "tab\there\x1b[0m"}), t0 + 12);
    conversation->appendRows(Side::Server, rowsOf({"\xe9t\xe9"}), t0 + 12 + 1250);
}

const QByteArray KnownTranscript = "14:03:22.418 S: 220 pr\xc3\xaat\n"
                                   "14:03:22.430 C: EHLO a\\\\b\n"
                                   "14:03:22.430 C: tab\there\\x1b[0m\n"
                                   "14:03:23.680 S: \xc3\xa9t\xc3\xa9\n";

} // namespace

class TstTranscriptExport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void tooltipGivesTimeAndGapToThePreviousRow();
    void savedFileIsTheStampedTranscript();
    void failedSaveIsReportedAndKeepsEverything();
    void saveOffersAFileNamedForTheMoment();
    void copyTakesTheSelectedRowOrEverything();

private:
    MainWindow *m_window = nullptr;
};

void TstTranscriptExport::init()
{
    m_window = new MainWindow;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TstTranscriptExport::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

void TstTranscriptExport::tooltipGivesTimeAndGapToThePreviousRow()
{
    Conversation *conversation = m_window->conversation();
    fillKnownConversation(conversation);
    const qint64 t3 = greetingMsecs() + 1262;
    conversation->appendRows(Side::Client, rowsOf({"later"}), t3 + 999);
    // A clock set back between two chunks.
    conversation->appendRows(Side::Server, rowsOf({"earlier"}), t3 + 999 - 5);

    const QStringList expected = {
        "14:03:22.418",
        "14:03:22.430 (+12 ms)",
        "14:03:22.430 (+0 ms)",
        "14:03:23.680 (+1,250 s)",
        "14:03:24.679 (+999 ms)",
        QStringLiteral("14:03:24.674 (\u22125 ms)"),
    };
    QCOMPARE(conversation->rowCount(), int(expected.size()));
    for (int row = 0; row < conversation->rowCount(); ++row) {
        // Each pane shows the same line of the conversation, alignment row or not.
        for (int column : {0, 1})
            QCOMPARE(conversation->index(row, column).data(Qt::ToolTipRole).toString(), expected[row]);
    }
}

void TstTranscriptExport::savedFileIsTheStampedTranscript()
{
    fillKnownConversation(m_window->conversation());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("conversation.txt"));
    // An older file of the same name is replaced whole.
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(4096, 'x'));
    }
    QSignalSpy reported(m_window, &MainWindow::errorReported);

    QVERIFY(m_window->saveConversation(path));

    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), KnownTranscript);
    QCOMPARE(reported.count(), 0);
    QCOMPARE(m_window->conversation()->rowCount(), 4);

    // More rows than one write holds: every row once, in order.
    Conversation *conversation = m_window->conversation();
    conversation->clear();
    QList<QByteArray> many;
    for (int i = 0; i < 40000; ++i)
        many.append("250 ligne " + QByteArray::number(i));
    conversation->appendRows(Side::Server, rowsOf(many), greetingMsecs());
    QVERIFY(m_window->saveConversation(path));
    saved.close();
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = saved.readAll().split('\n');
    QCOMPARE(lines.size(), 40001);
    QCOMPARE(lines[16384], QByteArray("14:03:22.418 S: 250 ligne 16384"));
    QCOMPARE(lines[39999], QByteArray("14:03:22.418 S: 250 ligne 39999"));
    QVERIFY(lines[40000].isEmpty());
}

void TstTranscriptExport::failedSaveIsReportedAndKeepsEverything()
{
    fillKnownConversation(m_window->conversation());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("absent/conversation.txt"));
    QSignalSpy reported(m_window, &MainWindow::errorReported);

    QVERIFY(!m_window->saveConversation(path));

    QCOMPARE(reported.count(), 1);
    const QString message = reported.first().first().toString();
    QVERIFY2(message.startsWith(QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: ")
                                    .arg(path)),
             qPrintable(message));
    // The reason comes after the path: something must be said there.
    QVERIFY2(message.size() > message.indexOf(QStringLiteral("»\u00a0: ")) + 4, qPrintable(message));
    auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
    QVERIFY(box);
    QVERIFY(box->isVisible());
    QCOMPARE(box->text(), message);
    QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    QCOMPARE(m_window->conversation()->rowCount(), 4);
    QCOMPARE(m_window->conversation()->transcript(0, 4), KnownTranscript);
}

void TstTranscriptExport::saveOffersAFileNamedForTheMoment()
{
    const QDateTime when(QDate(2026, 12, 6), QTime(20, 15, 30, 999));
    QCOMPARE(MainWindow::suggestedFileName(when), QStringLiteral("conversation-2026-12-06-201530.txt"));
}

void TstTranscriptExport::copyTakesTheSelectedRowOrEverything()
{
    fillKnownConversation(m_window->conversation());
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    auto *lstClient = m_window->findChild<PaneView *>(QStringLiteral("lstClient"));
    auto *lstServeur = m_window->findChild<PaneView *>(QStringLiteral("lstServeur"));
    QClipboard *clipboard = QGuiApplication::clipboard();

    // Row 2 is a client line; in the server's pane it is an alignment row,
    // but the line copied is still the conversation's row 2.
    const QModelIndex row2 = lstServeur->model()->index(2, lstServeur->modelColumn());
    QTest::mouseClick(lstServeur->viewport(), Qt::LeftButton, {}, lstServeur->visualRect(row2).center());
    QCOMPARE(QApplication::focusWidget(), lstServeur);
    clipboard->clear();
    QTest::keyClick(lstServeur, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("14:03:22.430 C: tab\there\\x1b[0m\n"));

    // The client's pane has no selection of its own: all of it.
    lstClient->setFocus();
    clipboard->clear();
    QTest::keyClick(lstClient, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QString::fromUtf8(KnownTranscript));

    // In a field, Ctrl+C stays the field's own copy.
    auto *host = m_window->findChild<QLineEdit *>(QStringLiteral("txtAdresseServeur"));
    host->setFocus();
    host->selectAll();
    QTest::keyClick(host, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("192.168.0.1"));
}

QTEST_MAIN(TstTranscriptExport)
#include "tst_transcriptexport.moc"
