#include "EventText.h"
#include "FigureText.h"
#include "InterleavedSessions.h"
#include "SessionTable.h"

#include <QAbstractItemModelTester>
#include <QtTest>

// The list of sessions, fed as the relay feeds it and rebuilt from a
// conversation's marks, watched by a model tester throughout.
class TestSessionTable : public QObject
{
    Q_OBJECT
    std::unique_ptr<SessionTable> m_table;

    void tell(RelayEvent::Kind kind, int session, RelayEvent::End end = RelayEvent::End::None, qint64 bytes = 0)
    {
        RelayEvent e;
        e.kind = kind;
        e.session = session;
        e.time = 1700000000000 + session;
        e.end = end;
        e.bytesClientToServer = bytes;
        m_table->onEvent(e);
    }
    QVariant at(int session, int column, int role = Qt::DisplayRole) const
    {
        return m_table->index(m_table->rowOf(session), column).data(role);
    }
    QString numbers() const
    {
        QStringList all;
        for (int row = 0; row < m_table->rowCount(); ++row)
            all.append(m_table->index(row, 0).data().toString());
        return all.join(u' ');
    }

private Q_SLOTS:
    void init()
    {
        m_table = std::make_unique<SessionTable>();
        new QAbstractItemModelTester(m_table.get(), QAbstractItemModelTester::FailureReportingMode::QtTest, m_table.get());
    }

    // A row a session, in the order taken, unnumbered sessions left out; the
    // bytes counted as they pass reach the views once a tick, and the end's
    // totals replace them; an end by reset marks the row failed.
    void sessionsAreListedAsTakenAndCountedUntilTheirEnd()
    {
        for (int session : {0, 7, 3})
            tell(RelayEvent::Kind::ClientConnected, session);
        QVERIFY(numbers() == QStringLiteral("7 3") && at(3, SessionTable::StateColumn).toString() == QStringLiteral("en cours"));
        QSignalSpy views(m_table.get(), &QAbstractItemModel::dataChanged);
        for (int i = 0; i < 50; ++i) { // within a tick: told once
            m_table->countBytes(3, 5, 0);
            m_table->countBytes(7, 0, 1);
        }
        QVERIFY(views.isEmpty() && views.wait(5 * SessionTable::CountIntervalMs));
        const auto row = [&views](int corner) { return views[0][corner].value<QModelIndex>().row(); };
        QVERIFY(views.count() == 1 && row(0) == 0 && row(1) == 1); // once, for both rows
        QCOMPARE(at(3, SessionTable::ClientBytesColumn).toString() + u'/' + at(7, SessionTable::ServerBytesColumn).toString(),
                 FigureText::count(250) + u'/' + FigureText::count(50));
        tell(RelayEvent::Kind::SessionEnded, 3, RelayEvent::End::ResetByServer, 260);
        m_table->countBytes(3, 4, 0); // after its end: the end's totals stand
        QCOMPARE(at(3, SessionTable::ClientBytesColumn).toString(), FigureText::count(260));
        QCOMPARE(at(3, SessionTable::StateColumn).toString(), EventText::sessionEnd(RelayEvent::End::ResetByServer, Side::Client));
        QVERIFY(at(3, 0, SessionTable::FailedRole).toBool() && !at(7, 0, SessionTable::FailedRole).toBool());
        m_table->setDifferences(7, 2);
        QVERIFY(at(7, SessionTable::StateColumn).toString().startsWith(QStringLiteral("≠ 2 · ")));
        QVERIFY(at(7, 0, SessionTable::FailedRole).toBool());
    }

    // Rebuilt from a conversation: a session per number in its rows, as its
    // end mark tells or, without one, unfinished and counted from its rows
    // (line ends included); sessions still running stay, in number order.
    void rebuildTellsTheConversationsSessionsAndKeepsThoseRunning()
    {
        Conversation conversation;
        fillInterleaved(conversation, interleavedSessions(), 1700000000000);
        LineCapture capture; // a session whose end was not kept: "abc" CR LF, then "de" unended
        conversation.appendRows(Side::Client, capture.feed("abc\r\nde"), 1700000000100, false, 4);
        conversation.appendRows(Side::Client, capture.flush(), 1700000000101, false, 4);
        tell(RelayEvent::Kind::ClientConnected, 9); // running
        tell(RelayEvent::Kind::SessionEnded, 1, RelayEvent::End::ResetByClient); // ended: replaced
        m_table->rebuild(conversation);
        QCOMPARE(numbers(), QStringLiteral("1 2 4 9"));
        QCOMPARE(at(1, SessionTable::StateColumn).toString(), EventText::sessionEnd(RelayEvent::End::ClosedByServer, Side::Client));
        QVERIFY(!at(1, 0, SessionTable::FailedRole).toBool());
        QCOMPARE(QStringList({at(4, SessionTable::StateColumn).toString(), at(4, SessionTable::ClientBytesColumn).toString(),
                              at(9, SessionTable::StateColumn).toString()}),
                 QStringList({QStringLiteral("inachevée"), FigureText::count(7), QStringLiteral("en cours")}));
    }
};

QTEST_GUILESS_MAIN(TestSessionTable)
#include "tst_sessiontable.moc"
