#include "Conversation.h"
#include "RowsFixture.h"
#include "TrafficPanes.h"

#include <QtTest>
#include <QtWidgets>

class TstTrafficPanes : public QObject
{
    Q_OBJECT
    QWidget *m_host = nullptr;
    Conversation *m_conv = nullptr;
    PaneView *m_client = nullptr, *m_server = nullptr;

    void add(Side side, const QList<QByteArray> &lines) { m_conv->appendRows(side, rowsOf(lines), 0); }
    // Chunks of three rows on alternate sides, then both panes laid out.
    void fill(int chunks)
    {
        for (int i = 0; i < chunks; ++i)
            add(i % 2 ? Side::Server : Side::Client, {"row " + QByteArray::number(i * 3), "+1", "+2"});
        for (PaneView *pane : {m_client, m_server})
            QTRY_VERIFY(m_conv->rowCount() == 0 || pane->indexAt(QPoint(2, 2)).isValid());
        QTRY_COMPARE(m_client->verticalScrollBar()->maximum(), m_server->verticalScrollBar()->maximum());
    }

private Q_SLOTS:
    void init()
    {
        m_host = new QWidget;
        m_conv = new Conversation(m_host);
        auto *layout = new QHBoxLayout(m_host);
        layout->addWidget(m_client = new PaneView(m_host));
        layout->addWidget(m_server = new PaneView(m_host));
        new TrafficPanes(m_conv, m_client, m_server, m_host);
        m_host->resize(600, 300);
        m_host->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_host));
    }
    void cleanup() { delete m_host; }

    void rowsLandInTheirSidesPaneOnOneLevelLine()
    {
        add(Side::Server, {"220 prêt"});
        add(Side::Client, {"EHLO x", ""});
        add(Side::Server, {"\xe9t\xe9"}); // Latin-1, not UTF-8
        add(Side::Client, {"lone\nLF and\rCR"}); // last: the row a uniform-size view measures
        QCOMPARE(shownRows(m_client), QStringList({" ", "EHLO x", "", " ", "lone\nLF and\rCR"}));
        QCOMPARE(shownRows(m_server), QStringList({"220 prêt", " ", " ", QStringLiteral("été"), " "}));
        fill(0);
        for (PaneView *p : {m_client, m_server})
            QCOMPARE(p->visualRect(paneIndex(p, 4)).height(), p->visualRect(paneIndex(p, 0)).height());
    }

    void scrollingEitherPaneMovesTheOtherOnceAndAppendingMovesNeither_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *pane : {"client", "server"})
            for (const char *how : {"scroll bar", "wheel", "keys"})
                QTest::addRow("%s by %s", pane, how) << QString::fromLatin1(how);
    }
    void scrollingEitherPaneMovesTheOtherOnceAndAppendingMovesNeither()
    {
        QFETCH(QString, how);
        const bool fromServer = QByteArray(QTest::currentDataTag()).startsWith("server");
        PaneView *leader = fromServer ? m_server : m_client, *follower = fromServer ? m_client : m_server;
        fill(100);
        QScrollBar *bar = leader->verticalScrollBar();
        QTRY_VERIFY(bar->isVisible()); // laid out by the event loop
        QSignalSpy leaderMoves(leader, &PaneView::firstVisibleRowChanged);
        QSignalSpy followerMoves(follower, &PaneView::firstVisibleRowChanged);
        if (how == QLatin1String("scroll bar")) {
            QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() - 30));
        } else if (how == QLatin1String("wheel")) {
            QWheelEvent wheel({10, 10}, {10, 10}, {}, {0, -120}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
            QApplication::sendEvent(leader->viewport(), &wheel);
        } else {
            QTest::mouseClick(leader->viewport(), Qt::LeftButton, {}, QPoint(10, 5)); // a current row
            QTest::keyClick(leader, Qt::Key_End);
        }
        QVERIFY(leader->firstVisibleRow() > 0);
        QCOMPARE(follower->firstVisibleRow(), leader->firstVisibleRow());
        QCOMPARE(follower->indexAt(QPoint(2, 2)).row(), leader->indexAt(QPoint(2, 2)).row());
        // Later rows leave both where they are, at the very bottom ("keys") too.
        const int first = leader->firstVisibleRow(), maximum = bar->maximum();
        for (int i = 0; i < 20; ++i)
            add(i % 2 ? Side::Client : Side::Server, {"more", "rows"});
        QTRY_VERIFY(bar->maximum() > maximum);
        QTRY_COMPARE(follower->verticalScrollBar()->maximum(), bar->maximum());
        QCOMPARE(leader->firstVisibleRow(), first);
        QCOMPARE(follower->firstVisibleRow(), first);
        QCOMPARE(leader->indexAt(QPoint(2, 2)).row(), first);
        QCOMPARE(leaderMoves.count(), 1); // once each: no echo back from the follower, none for appends
        QCOMPARE(followerMoves.count(), 1);
    }

    void selectionStaysInItsPaneAndDoubleClickClearsBoth()
    {
        fill(3);
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, rowCentre(m_client, 2));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(m_client, 4));
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, {}, rowCentre(m_server, 7));
        QCOMPARE(m_client->selectionModel()->selectedIndexes(), QModelIndexList{paneIndex(m_client, 4)});
        QCOMPARE(m_server->selectionModel()->selectedIndexes(), QModelIndexList{paneIndex(m_server, 7)});
        // On a row, below the rows, in an empty pane.
        const struct { PaneView *pane; int chunks; bool onRow; } cases[] = {
            {m_client, 0, true}, {m_server, 2, true}, {m_server, 2, false}, {m_client, 0, false}};
        for (const auto &c : cases) {
            fill(c.chunks);
            const QPoint at = c.onRow ? rowCentre(c.pane, 2) : QPoint(10, c.pane->viewport()->height() - 5);
            QCOMPARE(c.pane->indexAt(at).isValid(), c.onRow);
            QTest::mouseDClick(c.pane->viewport(), Qt::LeftButton, {}, at);
            QCOMPARE(m_conv->rowCount(), 0);
        }
        add(Side::Client, {"after"}); // still a working pair
        QCOMPARE(shownRows(m_client) + shownRows(m_server), QStringList({"after", " "}));
    }
};

QTEST_MAIN(TstTrafficPanes)
#include "tst_trafficpanes.moc"
