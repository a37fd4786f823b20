#include "Conversation.h"
#include "EndpointText.h"
#include "LineCapture.h"
#include "MainWindow.h"
#include "PaneView.h"
#include "ReplayController.h"
#include "ReplayServerDialog.h"
#include "RowDetailsDialog.h"
#include "SessionList.h"
#include "SessionTable.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

// A session replayed from the window against a loopback server whose
// answers are not all the recorded ones.
namespace {

// Answers each line with the reply given for it; an empty reply never comes.
struct ChangedServer
{
    QTcpServer listener;
    QHash<QByteArray, QByteArray> replies;

    explicit ChangedServer(const QHash<QByteArray, QByteArray> &script)
        : replies(script)
    {
        listener.listen(QHostAddress::LocalHost);
        QObject::connect(&listener, &QTcpServer::newConnection, &listener, [this] {
            QTcpSocket *s = listener.nextPendingConnection();
            s->write("220 mx\r\n");
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                while (s->canReadLine()) {
                    const QByteArray line = s->readLine().trimmed();
                    s->write(replies.value(line));
                    if (line == "QUIT")
                        s->disconnectFromHost();
                }
            });
        });
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(listener.serverPort()); }
};

// Session 1 as the relay recorded it, live in the window: the server said 250 to NOOP.
void record(MainWindow &window, const QString &server)
{
    RelayEvent begin;
    begin.kind = RelayEvent::Kind::ClientConnected;
    begin.time = QDateTime::currentMSecsSinceEpoch();
    begin.client = EndpointText::read(QStringLiteral("127.0.0.1:40000"));
    begin.server = EndpointText::read(server);
    begin.session = 1;
    Conversation *c = window.conversation();
    c->appendMark(begin);
    window.sessions()->table()->onEvent(begin);
    const std::pair<Side, QByteArray> rows[] = {{Side::Server, "220 mx\r\n"}, {Side::Client, "NOOP\r\n"},
                                                {Side::Server, "250 ok\r\n"}, {Side::Client, "QUIT\r\n"},
                                                {Side::Server, "221 bye\r\n"}};
    LineCapture capture[2];
    for (const auto &[side, bytes] : rows)
        c->appendRows(side, capture[int(side)].feed(bytes), begin.time, false, 1);
    RelayEvent end = begin;
    end.kind = RelayEvent::Kind::SessionEnded;
    end.end = RelayEvent::End::ClosedByClient;
    end.side = Side::Client;
    c->appendMark(end);
    window.sessions()->table()->onEvent(end);
}

// The last row with that text, -1 for none.
int rowWith(const Conversation *c, const QString &text, Side side)
{
    for (int row = c->rowCount() - 1; row >= 0; --row) {
        if (c->text(row, side) == text)
            return row;
    }
    return -1;
}

} // namespace

class TestReplayWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Asked from a pane's menu with the recorded server offered; the replay is
    // session 2, its changed answer marked with the recorded one, the list counting it.
    void aChangedAnswerIsMarkedOnItsRow()
    {
        ChangedServer server({{"NOOP", "550 no\r\n"}, {"QUIT", "221 bye\r\n"}});
        MainWindow window;
        record(window, server.address());
        Conversation *c = window.conversation();
        auto *pane = window.findChild<PaneView *>(QStringLiteral("lstClient"));
        QTRY_COMPARE(pane->model()->rowCount(), c->rowCount());
        pane->setCurrentIndex(pane->model()->index(2, 0));
        ReplayController *replays = window.replays();
        QVERIFY(pane->actions().contains(replays->replayAction()));
        QVERIFY(window.sessions()->actions().contains(replays->replayAction()));
        QSignalSpy finished(replays, &ReplayController::finished);
        replays->replayAction()->trigger();
        auto *dialog = window.findChild<ReplayServerDialog *>(QStringLiteral("dlgRejeu"));
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->serverText(), server.address());
        dialog->accept();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().first().toInt(), 2);

        SessionTable *table = window.sessions()->table();
        const int listed = table->rowOf(2);
        QVERIFY(listed >= 0);
        QVERIFY(table->index(listed, SessionTable::StateColumn).data().toString().startsWith(QStringLiteral("≠ 1 · ")));
        QVERIFY(table->index(listed, 0).data(SessionTable::FailedRole).toBool());
        QVERIFY(!table->index(table->rowOf(1), SessionTable::StateColumn).data().toString().contains(QStringLiteral("≠")));
        // The replay's opening mark says which session it plays again.
        bool named = false;
        for (int row = 0; row < c->rowCount(); ++row)
            named = named || (c->session(row) == 2 && c->isMarker(row) && c->markerText(row).contains(QStringLiteral("rejeu de la session n° 1")));
        QVERIFY(named);

        const int changed = rowWith(c, QStringLiteral("550 no"), Side::Server);
        QVERIFY(changed >= 0);
        QCOMPARE(c->session(changed), 2);
        const QModelIndex cell = c->index(changed, 1);
        QVERIFY(cell.data(Conversation::DifferenceRole).toString().contains(QStringLiteral("« 250 ok »")));
        QVERIFY(cell.data(Qt::ToolTipRole).toString().contains(QStringLiteral("250 ok")));
        // Only that answer differs: the same greeting and goodbye carry no mark.
        int marked = 0;
        for (int row = 0; row < c->rowCount(); ++row)
            marked += !c->index(row, 0).data(Conversation::DifferenceRole).toString().isEmpty();
        QCOMPARE(marked, 1);
        RowDetailsDialog details(*c, changed);
        QVERIFY(details.findChild<QLabel *>(QStringLiteral("lblOrigine"))->text().contains(QStringLiteral("250 ok")));
    }

    // A server that never answers NOOP: Stop ends the replay at once, its
    // session closed, and another can start; a session still running cannot be replayed.
    void stopEndsAReplayMidway()
    {
        ChangedServer server({{"NOOP", ""}});
        MainWindow window;
        record(window, server.address());
        Conversation *c = window.conversation();
        ReplayController *replays = window.replays();
        QSignalSpy finished(replays, &ReplayController::finished);
        QString error;
        QCOMPARE(replays->replay(1, QStringLiteral("127.0.0.1"), server.listener.serverPort(), false, &error), 2);
        QVERIFY(!replays->replayAction()->isEnabled());
        QTRY_VERIFY(rowWith(c, QStringLiteral("NOOP"), Side::Client) > rowWith(c, QStringLiteral("QUIT"), Side::Client));
        QVERIFY(replays->isRunning() && finished.isEmpty());
        replays->stopAction()->trigger();
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(!replays->isRunning() && replays->replayAction()->isEnabled());
        const int last = c->rowCount() - 1;
        QVERIFY(c->isMarker(last) && c->session(last) == 2);
        QCOMPARE(c->mark(last).event.kind, RelayEvent::Kind::SessionEnded);
        // The replay's own session is over and can be replayed in turn; a
        // session without its end cannot.
        RelayEvent open;
        open.kind = RelayEvent::Kind::ClientConnected;
        open.session = 9;
        c->appendMark(open);
        QCOMPARE(replays->replay(c->rowCount() - 1, QStringLiteral("127.0.0.1"), 1, false, &error), 0);
        QVERIFY(error.contains(QStringLiteral("pas finie")));
    }
};

QTEST_MAIN(TestReplayWindow)
#include "tst_replaywindow.moc"
