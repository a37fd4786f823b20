#include "Conversation.h"
#include "PaneView.h"
#include "RowDelegate.h"
#include "TrafficPanes.h"

#include <QHBoxLayout>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

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

QString shown(const PaneView *pane, int row)
{
    return pane->model()->index(row, pane->modelColumn()).data().toString();
}

} // namespace

class TstTrafficPanes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void rowsLandInTheirSidesPaneWithAlignmentRows();
    void appendingNeverMovesTheFirstVisibleRow_data();
    void appendingNeverMovesTheFirstVisibleRow();
    void scrollingEitherPaneMovesTheOther_data();
    void scrollingEitherPaneMovesTheOther();
    void linkingDoesNotLoop();
    void doubleClickAnywhereClearsBoth_data();
    void doubleClickAnywhereClearsBoth();
    void selectionStaysInItsPane();
    void controlCharactersKeepRowsOnOneLevelLine();

private:
    void fill(int rows);
    void waitForLayout();

    QWidget *m_host = nullptr;
    Conversation *m_conversation = nullptr;
    PaneView *m_client = nullptr;
    PaneView *m_server = nullptr;
};

void TstTrafficPanes::init()
{
    m_host = new QWidget;
    m_conversation = new Conversation(m_host);
    m_client = new PaneView(m_host);
    m_server = new PaneView(m_host);
    auto *layout = new QHBoxLayout(m_host);
    layout->addWidget(m_client);
    layout->addWidget(m_server);
    new TrafficPanes(m_conversation, m_client, m_server, m_host);
    m_host->resize(600, 300);
    m_host->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_host));
}

void TstTrafficPanes::cleanup()
{
    delete m_host;
}

void TstTrafficPanes::fill(int rows)
{
    // Alternate sides, a few rows per chunk, as a dialogue would.
    for (int i = 0; i < rows; i += 3) {
        QList<QByteArray> lines;
        for (int j = i; j < qMin(rows, i + 3); ++j)
            lines.append("line " + QByteArray::number(j));
        m_conversation->appendRows((i / 3) % 2 ? Side::Server : Side::Client, rowsOf(lines), 0);
    }
    waitForLayout();
}

void TstTrafficPanes::waitForLayout()
{
    const int rows = m_conversation->rowCount();
    QTRY_VERIFY(rows == 0 || m_client->indexAt(QPoint(2, 2)).isValid());
    QTRY_VERIFY(rows == 0 || m_server->indexAt(QPoint(2, 2)).isValid());
    QTRY_VERIFY(m_client->verticalScrollBar()->maximum() == m_server->verticalScrollBar()->maximum());
}

void TstTrafficPanes::rowsLandInTheirSidesPaneWithAlignmentRows()
{
    m_conversation->appendRows(Side::Server, rowsOf({"220 prêt"}), 0);
    m_conversation->appendRows(Side::Client, rowsOf({"EHLO x", ""}), 0);
    m_conversation->appendRows(Side::Server, rowsOf({"\xe9t\xe9"}), 0); // Latin-1, not UTF-8

    const QStringList client = {" ", "EHLO x", "", " "};
    const QStringList server = {"220 prêt", " ", " ", QStringLiteral("été")};
    QCOMPARE(m_client->model()->rowCount(), client.size());
    QCOMPARE(m_server->model()->rowCount(), server.size());
    for (int r = 0; r < client.size(); ++r) {
        QCOMPARE(shown(m_client, r), client[r]);
        QCOMPARE(shown(m_server, r), server[r]);
    }
}

void TstTrafficPanes::appendingNeverMovesTheFirstVisibleRow_data()
{
    QTest::addColumn<int>("scrolledTo"); // -1: the very bottom
    QTest::newRow("top") << 0;
    QTest::newRow("middle") << 50;
    QTest::newRow("bottom") << -1;
}

void TstTrafficPanes::appendingNeverMovesTheFirstVisibleRow()
{
    QFETCH(int, scrolledTo);
    fill(200);
    const int first = scrolledTo < 0 ? m_client->verticalScrollBar()->maximum() : scrolledTo;
    QVERIFY(first > 0 || scrolledTo == 0);
    m_client->setFirstVisibleRow(first);
    QCOMPARE(m_server->firstVisibleRow(), first);

    const int maximumBefore = m_client->verticalScrollBar()->maximum();
    for (int i = 0; i < 20; ++i)
        m_conversation->appendRows(i % 2 ? Side::Client : Side::Server, rowsOf({"more", "rows"}), 0);
    QTRY_VERIFY(m_client->verticalScrollBar()->maximum() > maximumBefore);
    waitForLayout();

    QCOMPARE(m_client->firstVisibleRow(), first);
    QCOMPARE(m_server->firstVisibleRow(), first);
    QCOMPARE(m_client->indexAt(QPoint(2, 2)).row(), first);
}

void TstTrafficPanes::scrollingEitherPaneMovesTheOther_data()
{
    QTest::addColumn<bool>("fromServer");
    QTest::addColumn<QString>("how");
    for (const bool fromServer : {false, true}) {
        const char *pane = fromServer ? "server" : "client";
        for (const char *how : {"scroll bar", "wheel", "keys"})
            QTest::addRow("%s pane by %s", pane, how) << fromServer << QString::fromLatin1(how);
    }
}

void TstTrafficPanes::scrollingEitherPaneMovesTheOther()
{
    QFETCH(bool, fromServer);
    QFETCH(QString, how);
    PaneView *leader = fromServer ? m_server : m_client;
    PaneView *follower = fromServer ? m_client : m_server;
    fill(300);

    if (how == QLatin1String("scroll bar")) {
        QTest::mouseClick(leader->verticalScrollBar(), Qt::LeftButton, {},
                          QPoint(leader->verticalScrollBar()->width() / 2,
                                 leader->verticalScrollBar()->height() - 30));
    } else if (how == QLatin1String("wheel")) {
        const QPointF at(10, 10);
        QWheelEvent wheel(at, leader->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(leader->viewport(), &wheel);
    } else {
        // Keys move from the current row, which a click gives.
        QTest::mouseClick(leader->viewport(), Qt::LeftButton, {}, QPoint(10, 5));
        QTest::keyClick(leader, Qt::Key_End);
    }

    QVERIFY(leader->firstVisibleRow() > 0);
    QCOMPARE(follower->firstVisibleRow(), leader->firstVisibleRow());
    QCOMPARE(follower->indexAt(QPoint(2, 2)).row(), leader->indexAt(QPoint(2, 2)).row());
}

void TstTrafficPanes::linkingDoesNotLoop()
{
    fill(300);
    QSignalSpy clientMoves(m_client, &PaneView::firstVisibleRowChanged);
    QSignalSpy serverMoves(m_server, &PaneView::firstVisibleRowChanged);

    m_server->verticalScrollBar()->setValue(40);

    QCOMPARE(serverMoves.count(), 1);
    QCOMPARE(clientMoves.count(), 1);
    QCOMPARE(clientMoves.first().first().toInt(), 40);
    QCOMPARE(m_server->firstVisibleRow(), 40);
}

void TstTrafficPanes::doubleClickAnywhereClearsBoth_data()
{
    QTest::addColumn<bool>("onServer");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("onRow");
    QTest::newRow("client, on a row") << false << 5 << true;
    QTest::newRow("client, below the rows") << false << 5 << false;
    QTest::newRow("server, on a row") << true << 5 << true;
    QTest::newRow("server, below the rows") << true << 5 << false;
    QTest::newRow("empty pane") << false << 0 << false;
}

void TstTrafficPanes::doubleClickAnywhereClearsBoth()
{
    QFETCH(bool, onServer);
    QFETCH(int, rows);
    QFETCH(bool, onRow);
    PaneView *pane = onServer ? m_server : m_client;
    fill(rows);

    const QPoint at = onRow ? pane->visualRect(pane->model()->index(2, pane->modelColumn())).center()
                            : QPoint(10, pane->viewport()->height() - 5);
    QCOMPARE(pane->indexAt(at).isValid(), onRow);
    QTest::mouseDClick(pane->viewport(), Qt::LeftButton, {}, at);

    QCOMPARE(m_conversation->rowCount(), 0);
    QCOMPARE(m_client->model()->rowCount(), 0);
    QCOMPARE(m_server->model()->rowCount(), 0);
    // Still a working pair: new rows show in both.
    m_conversation->appendRows(Side::Client, rowsOf({"after"}), 0);
    QCOMPARE(shown(m_client, 0), QStringLiteral("after"));
    QCOMPARE(shown(m_server, 0), QStringLiteral(" "));
}

void TstTrafficPanes::selectionStaysInItsPane()
{
    fill(10);
    auto rowCentre = [](PaneView *pane, int row) {
        return pane->visualRect(pane->model()->index(row, pane->modelColumn())).center();
    };
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

void TstTrafficPanes::controlCharactersKeepRowsOnOneLevelLine()
{
    // The last row is the one a uniform-size view measures: make it the odd one.
    m_conversation->appendRows(Side::Client, rowsOf({"plain", "lone\nLF and\rCR"}), 0);
    waitForLayout();

    const QModelIndex plain = m_client->model()->index(0, 0);
    const QModelIndex odd = m_client->model()->index(1, 0);
    QCOMPARE(m_client->visualRect(odd).height(), m_client->visualRect(plain).height());
    QCOMPARE(m_client->visualRect(odd).height(),
             m_server->visualRect(m_server->model()->index(1, 1)).height());
    QCOMPARE(RowDelegate::singleLine(odd.data().toString()),
             QStringLiteral("lone\u240ALF and\u240DCR"));
    QCOMPARE(RowDelegate::singleLine(QStringLiteral("tab\there\x7f")), QStringLiteral("tab\there\u2421"));
}

QTEST_MAIN(TstTrafficPanes)
#include "tst_trafficpanes.moc"
