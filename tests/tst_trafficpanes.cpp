#include "Conversation.h"
#include "PaneView.h"
#include "TrafficPanes.h"

#include <QHBoxLayout>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

static QString shown(const PaneView *pane, int row)
{
    return pane->model()->index(row, pane->modelColumn()).data().toString();
}

static QPoint rowCentre(const PaneView *pane, int row)
{
    return pane->visualRect(pane->model()->index(row, pane->modelColumn())).center();
}

class TstTrafficPanes : public QObject
{
    Q_OBJECT
    QWidget *m_host = nullptr;
    Conversation *m_conv = nullptr;
    PaneView *m_client = nullptr;
    PaneView *m_server = nullptr;

    void add(Side side, const QList<QByteArray> &lines)
    {
        LineCapture::Rows rows;
        for (const QByteArray &line : lines) {
            rows.spans.append({rows.buffer.size(), line.size()});
            rows.buffer.append(line);
        }
        m_conv->appendRows(side, rows, 0);
    }
    // Alternate sides, three rows a chunk, then wait for both panes to lay out.
    void fill(int rows)
    {
        for (int i = 0; i < rows; i += 3) {
            QList<QByteArray> lines;
            for (int j = i; j < qMin(rows, i + 3); ++j)
                lines.append("line " + QByteArray::number(j));
            add((i / 3) % 2 ? Side::Server : Side::Client, lines);
        }
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
        const QStringList client = {" ", "EHLO x", "", " ", "lone\nLF and\rCR"};
        const QStringList server = {"220 prêt", " ", " ", QStringLiteral("été"), " "};
        QCOMPARE(m_client->model()->rowCount(), 5);
        QCOMPARE(m_server->model()->rowCount(), 5);
        for (int r = 0; r < 5; ++r) {
            QCOMPARE(shown(m_client, r), client[r]);
            QCOMPARE(shown(m_server, r), server[r]);
        }
        fill(0);
        const int height = m_client->visualRect(m_client->model()->index(0, 0)).height();
        QCOMPARE(m_client->visualRect(m_client->model()->index(4, 0)).height(), height);
        QCOMPARE(m_server->visualRect(m_server->model()->index(4, 1)).height(), height);
    }

    void appendingNeverMovesTheFirstVisibleRow()
    {
        fill(200);
        QScrollBar *bar = m_client->verticalScrollBar();
        for (const int first : {0, 50, bar->maximum()}) {
            m_client->setFirstVisibleRow(first);
            const int maximumBefore = bar->maximum();
            for (int i = 0; i < 20; ++i)
                add(i % 2 ? Side::Client : Side::Server, {"more", "rows"});
            QTRY_VERIFY(bar->maximum() > maximumBefore);
            QTRY_COMPARE(m_server->verticalScrollBar()->maximum(), bar->maximum());
            QCOMPARE(m_client->firstVisibleRow(), first);
            QCOMPARE(m_server->firstVisibleRow(), first);
            QCOMPARE(m_client->indexAt(QPoint(2, 2)).row(), first);
        }
    }

    void scrollingEitherPaneMovesTheOtherOnce_data()
    {
        QTest::addColumn<bool>("fromServer");
        QTest::addColumn<QString>("how");
        for (const bool fromServer : {false, true})
            for (const char *how : {"scroll bar", "wheel", "keys"})
                QTest::addRow("%s by %s", fromServer ? "server" : "client", how) << fromServer << how;
    }
    void scrollingEitherPaneMovesTheOtherOnce()
    {
        QFETCH(bool, fromServer);
        QFETCH(QString, how);
        PaneView *leader = fromServer ? m_server : m_client;
        PaneView *follower = fromServer ? m_client : m_server;
        fill(300);
        // Appended rows are laid out by the event loop, as they are in the window.
        QTRY_VERIFY(leader->verticalScrollBar()->isVisible());
        QSignalSpy leaderMoves(leader, &PaneView::firstVisibleRowChanged);
        QSignalSpy followerMoves(follower, &PaneView::firstVisibleRowChanged);
        QScrollBar *bar = leader->verticalScrollBar();
        if (how == QLatin1String("scroll bar")) {
            QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() - 30));
        } else if (how == QLatin1String("wheel")) {
            QWheelEvent wheel(QPointF(10, 10), leader->viewport()->mapToGlobal(QPointF(10, 10)), QPoint(),
                              QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(leader->viewport(), &wheel);
        } else {
            QTest::mouseClick(leader->viewport(), Qt::LeftButton, {}, QPoint(10, 5)); // a current row
            QTest::keyClick(leader, Qt::Key_End);
        }
        QVERIFY(leader->firstVisibleRow() > 0);
        QCOMPARE(follower->firstVisibleRow(), leader->firstVisibleRow());
        QCOMPARE(follower->indexAt(QPoint(2, 2)).row(), leader->indexAt(QPoint(2, 2)).row());
        QCOMPARE(leaderMoves.count(), 1); // no echo back from the follower
        QCOMPARE(followerMoves.count(), 1);
    }

    void doubleClickOnARowOrBelowOrOnAnEmptyPaneClearsBoth()
    {
        const struct { PaneView *pane; int rows; bool onRow; } cases[] = {
            {m_client, 5, true}, {m_server, 5, true}, {m_server, 5, false}, {m_client, 0, false}};
        for (const auto &c : cases) {
            fill(c.rows);
            const QPoint at = c.onRow ? rowCentre(c.pane, 2) : QPoint(10, c.pane->viewport()->height() - 5);
            QCOMPARE(c.pane->indexAt(at).isValid(), c.onRow);
            QTest::mouseDClick(c.pane->viewport(), Qt::LeftButton, {}, at);
            QCOMPARE(m_conv->rowCount(), 0);
        }
        add(Side::Client, {"after"}); // still a working pair
        QCOMPARE(shown(m_client, 0), QStringLiteral("after"));
        QCOMPARE(shown(m_server, 0), QStringLiteral(" "));
    }

    void selectionStaysInItsPane()
    {
        fill(10);
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, rowCentre(m_client, 2));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(m_client, 4));
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, {}, rowCentre(m_server, 7));
        const QModelIndexList client = m_client->selectionModel()->selectedIndexes();
        const QModelIndexList server = m_server->selectionModel()->selectedIndexes();
        QCOMPARE(client.size(), 1);
        QCOMPARE(client.first().row(), 4);
        QCOMPARE(server.size(), 1);
        QCOMPARE(server.first().row(), 7);
    }
};

QTEST_MAIN(TstTrafficPanes)
#include "tst_trafficpanes.moc"
