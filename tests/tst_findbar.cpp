#include "Conversation.h"
#include "ConversationSearch.h"
#include "EventHistory.h"
#include "EventHistoryDialog.h"
#include "FindBar.h"
#include "RowsFixture.h"

#include <QtTest>
#include <QtWidgets>

using Rows = QList<int>;

namespace {

Rows matchesOf(const ConversationSearch &search)
{
    return Rows(search.matches().begin(), search.matches().end());
}

} // namespace

class TestFindBar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void searchFindsRowsOfBothSides_data();
    void searchFindsRowsOfBothSides();
    void searchFollowsTheConversation();
    void findBarWalksThroughMatches();
    void historyKeepsTheLast500Events();
};

void TestFindBar::searchFindsRowsOfBothSides_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Rows>("expected");

    // Rows alternate sides: client, server, client, ...
    QTest::newRow("ASCII, case ignored, both sides") << QStringLiteral("mail FROM") << Rows{0, 1, 3};
    QTest::newRow("no match across rows") << QStringLiteral("okQUIT") << Rows{};
    QTest::newRow("UTF-8 and Latin-1 rows alike") << QStringLiteral("\u00c9T\u00e9") << Rows{4, 5};
    QTest::newRow("Kelvin sign folds to k") << QStringLiteral("ok") << Rows{1, 6};
    QTest::newRow("Kelvin sign typed") << QStringLiteral("O\u212a") << Rows{1, 6};
    QTest::newRow("control character") << QStringLiteral("\u001b[") << Rows{7};
    QTest::newRow("whole row") << QStringLiteral("quit") << Rows{8};
    QTest::newRow("longer than any row") << QString(200, QLatin1Char('x')) << Rows{};
    QTest::newRow("empty") << QString() << Rows{};
}

void TestFindBar::searchFindsRowsOfBothSides()
{
    QFETCH(QString, text);
    QFETCH(Rows, expected);
    Conversation conversation;
    const QList<QByteArray> rows = {"MAIL FROM:<a@b>",
                                    "250 ok mail from accepted",
                                    "",
                                    "Mail from again",
                                    "\xc3\xa9t\xc3\xa9 UTF-8",
                                    "\xc9t\xe9 Latin-1",
                                    "O\xe2\x84\xaa with a Kelvin sign",
                                    "\x1b[0m",
                                    "QUIT"};
    for (int i = 0; i < rows.size(); ++i)
        conversation.appendRows(i % 2 ? Side::Server : Side::Client, rowsOf({rows[i]}), 0);
    ConversationSearch search(&conversation);
    search.setText(text);
    QCOMPARE(matchesOf(search), expected);
}

void TestFindBar::searchFollowsTheConversation()
{
    Conversation conversation;
    conversation.appendRows(Side::Server, rowsOf({"220 ready", "250-HELP", "250 SIZE"}), 0);
    ConversationSearch search(&conversation);
    QSignalSpy changed(&search, &ConversationSearch::matchesChanged);
    search.setText(QStringLiteral("25"));
    QCOMPARE(matchesOf(search), Rows({1, 2}));
    QCOMPARE(search.next(-1), 1);
    QCOMPARE(search.next(2), 1); // wraps round
    QCOMPARE(search.previous(1), 2);
    QCOMPARE(search.positionText(2), QStringLiteral("2 / 2"));
    QCOMPARE(search.positionText(0), QStringLiteral("0 / 2"));

    conversation.appendRows(Side::Client, rowsOf({"no", "RCPT 25"}), 0);
    QCOMPARE(matchesOf(search), Rows({1, 2, 4}));
    search.setText(QStringLiteral("250 "));
    QCOMPARE(matchesOf(search), Rows({2}));
    search.setText(QStringLiteral("ready"));
    QCOMPARE(matchesOf(search), Rows({0}));
    QCOMPARE(changed.count(), 4);

    conversation.clear();
    QCOMPARE(matchesOf(search), Rows{});
    QCOMPARE(search.next(-1), -1);
    QCOMPARE(changed.count(), 5);
    conversation.appendRows(Side::Server, rowsOf({"ready again"}), 0);
    QCOMPARE(matchesOf(search), Rows({0}));
}

void TestFindBar::findBarWalksThroughMatches()
{
    Conversation conversation;
    conversation.appendRows(Side::Client, rowsOf({"EHLO a", "MAIL FROM:<x>", "RCPT TO:<y>"}), 0);
    conversation.appendRows(Side::Server, rowsOf({"250 ok", "250 ok"}), 0);
    ConversationSearch search(&conversation);
    QWidget window;
    auto *pane = new QListView(&window);
    auto *bar = new FindBar(&search, &window);
    new QVBoxLayout(&window);
    window.layout()->addWidget(pane);
    window.layout()->addWidget(bar);
    bar->hide();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    auto *text = bar->findChild<QLineEdit *>(QStringLiteral("txtRecherche"));
    auto *count = bar->findChild<QLabel *>(QStringLiteral("lblCompte"));
    QSignalSpy current(bar, &FindBar::currentMatchChanged);
    QSignalSpy closed(bar, &FindBar::closed);
    bar->setStartRow(2);
    bar->open();
    QVERIFY(bar->isVisible() && text->hasFocus());
    QTest::keyClicks(text, QStringLiteral("o"));
    // From the start row on: "RCPT TO" is the first match there.
    QCOMPARE(bar->currentMatch(), 2);
    QCOMPARE(count->text(), QStringLiteral("3 / 5"));
    QTest::keyClicks(text, QStringLiteral("k"));
    QCOMPARE(bar->currentMatch(), 3); // row 2 no longer matches
    QCOMPARE(count->text(), QStringLiteral("1 / 2"));

    QTest::keyClick(text, Qt::Key_Return);
    QCOMPARE(bar->currentMatch(), 4);
    QTest::keyClick(text, Qt::Key_Enter);
    QCOMPARE(bar->currentMatch(), 3);
    QTest::keyClick(text, Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(bar->currentMatch(), 4);
    pane->setFocus(); // F3 works wherever the focus is
    QTest::keyClick(pane, Qt::Key_F3, Qt::ShiftModifier);
    QCOMPARE(bar->currentMatch(), 3);
    QTest::keyClick(pane, Qt::Key_F3);
    QCOMPARE(count->text(), QStringLiteral("2 / 2"));
    QCOMPARE(current.count(), 7);
    QCOMPARE(current.last().first().toInt(), 4);

    conversation.appendRows(Side::Server, rowsOf({"OK then"}), 0);
    QCOMPARE(count->text(), QStringLiteral("2 / 3"));
    QCOMPARE(bar->currentMatch(), 4);

    text->setFocus();
    QTest::keyClick(text, Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
    QCOMPARE(closed.count(), 1);
    QTest::keyClick(pane, Qt::Key_F3); // hidden: F3 is not the bar's
    QCOMPARE(bar->currentMatch(), 4);
}

void TestFindBar::historyKeepsTheLast500Events()
{
    EventHistory history;
    const qint64 t0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();
    for (int i = 1; i <= EventHistory::Capacity + 1; ++i)
        history.append(t0 + i, QStringLiteral("\u00e9v\u00e9nement %1").arg(i), i % 100 == 0);
    QCOMPARE(history.count(), EventHistory::Capacity);
    QCOMPARE(history.at(0).text, QStringLiteral("\u00e9v\u00e9nement 2"));
    QCOMPARE(history.at(EventHistory::Capacity - 1).msecs, t0 + 501);

    EventHistoryDialog dialog(&history);
    dialog.show();
    auto *list = dialog.findChild<QTreeWidget *>(QStringLiteral("lstHistorique"));
    QCOMPARE(list->topLevelItemCount(), EventHistory::Capacity);
    const auto row = [list](int i) {
        const QTreeWidgetItem *item = list->topLevelItem(i);
        return QStringList{item->text(0), item->text(1)};
    };
    QCOMPARE(row(0), QStringList({"14:03:22.420", "\u00e9v\u00e9nement 2"}));
    QVERIFY(list->topLevelItem(98)->foreground(1) != list->topLevelItem(97)->foreground(1)); // event 100 failed
    QTRY_COMPARE(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum()); // newest in view

    history.append(t0 + 1000, QStringLiteral("h\u00f4te introuvable"), true);
    QCOMPARE(list->topLevelItemCount(), EventHistory::Capacity);
    QCOMPARE(row(0)[1], QStringLiteral("\u00e9v\u00e9nement 3"));
    QCOMPARE(row(EventHistory::Capacity - 1), QStringList({"14:03:23.418", "h\u00f4te introuvable"}));
}

QTEST_MAIN(TestFindBar)
#include "tst_findbar.moc"
