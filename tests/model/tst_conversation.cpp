#include "ConversationSearch.h"
#include "TranscriptLoading.h"
#include "ConversationTranscript.h"
#include "InterleavedSessions.h"
#include "TranscriptReader.h"

#include <QAbstractItemModelTester>
#include <QtTest>

// The model the panes show, through what its users call: undo of clears,
// one session shown, the row filter, a file loaded in stages. A tester
// watches every change it tells the views.
namespace {

const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();

void add(Conversation &c, Side side, const QByteArray &lines, int session = 0, bool encrypted = false, qint64 at = T0)
{
    c.appendRows(side, LineCapture().feed(lines), at, encrypted, session);
}

// What the model shows, a word a row: "C:", "S:" or "--" and the row's text.
QString rows(const Conversation &c)
{
    QStringList all;
    for (int row = 0; row < c.rowCount(); ++row) {
        const QString kind = c.isMarker(row) ? QStringLiteral("--") : c.side(row) == Side::Client ? QStringLiteral("C:") : QStringLiteral("S:");
        all.append(kind + (c.isMarker(row) ? c.markerText(row) : QString::fromLatin1(c.bytes(row))));
    }
    return all.join(u' ');
}

} // namespace

class TestConversation : public QObject
{
    Q_OBJECT
    std::unique_ptr<Conversation> m_conv;

private Q_SLOTS:
    void init()
    {
        m_conv = std::make_unique<Conversation>();
        new QAbstractItemModelTester(m_conv.get(), QAbstractItemModelTester::FailureReportingMode::QtTest, m_conv.get());
    }

    // Clears are undone newest first, each bringing its rows back before
    // whatever came since, with their sides, sessions and padlocks; clearing
    // nothing keeps the older clears, and only the newest MaxKeptClears stay.
    void clearsAreUndoneNewestFirstBeforeTheRowsSince()
    {
        Conversation &c = *m_conv;
        QSignalSpy cleared(&c, &Conversation::rowsCleared);
        QVERIFY(!c.restoreCleared());
        add(c, Side::Client, "a1\r\na2\r\n", 1);
        c.clear();
        c.clear(); // nothing to clear: nothing told, nothing lost
        add(c, Side::Server, "b\r\n", 2, true);
        c.clear();
        QVERIFY(cleared.count() == 2 && cleared[0][0].toInt() == 2 && c.clearedRows() == 1);
        add(c, Side::Client, "c\r\n", 1);
        QVERIFY(c.restoreCleared());
        QCOMPARE(rows(c), QStringLiteral("S:b C:c"));
        QVERIFY(c.restoreCleared());
        QCOMPARE(rows(c), QStringLiteral("C:a1 C:a2 S:b C:c"));
        QVERIFY(c.session(2) == 2 && c.isEncrypted(2) && c.session(3) == 1 && !c.isEncrypted(3));
        QVERIFY(!c.restoreCleared());

        c.clear();
        for (int i = 0; i <= Conversation::MaxKeptClears; ++i) {
            add(c, Side::Client, QByteArray::number(i) + "\r\n");
            c.clear();
        }
        QCOMPARE(c.keptClears(), Conversation::MaxKeptClears);
        while (c.restoreCleared()) {}
        QCOMPARE(c.rowCount(), Conversation::MaxKeptClears);
        QCOMPARE(c.bytes(0).toByteArray(), QByteArray("1")); // the oldest went
    }

    // One session shown while rows of several arrive, filtered: the rows the
    // filter accepts of that session, in their order; a row marked as
    // differing is told where it is shown; a clear and its undo keep the
    // filter; lifting it shows the session's rows, as its transcript writes them.
    void theRowFilterKeepsItsRowsWithinTheSessionShown_data()
    {
        QTest::addColumn<int>("session");
        QTest::addColumn<QString>("kept");
        QTest::newRow("all sessions") << 0 << QStringLiteral("C:MAIL two C:QUIT C:QUIT C:MAIL more");
        QTest::newRow("session 1") << 1 << QStringLiteral("C:QUIT");
        QTest::newRow("session 2") << 2 << QStringLiteral("C:MAIL two C:QUIT C:MAIL more");
    }
    void theRowFilterKeepsItsRowsWithinTheSessionShown()
    {
        QFETCH(int, session);
        QFETCH(QString, kept);
        Conversation &c = *m_conv;
        c.showSession(session);
        int marks = 0;
        c.setRowFilter([&marks](QByteArrayView bytes, const SessionMark *mark) {
            marks += mark != nullptr;
            return !mark && (bytes.startsWith("MAIL") || bytes == "QUIT");
        });
        QVERIFY(c.isFiltered());
        const QMap<int, QByteArray> lines = fillInterleaved(c, interleavedSessions(), T0);
        add(c, Side::Client, "MAIL more\r\nRSET\r\n", 2);
        QCOMPARE(rows(c), kept);
        QVERIFY(marks > 0); // marks are offered too
        QSignalSpy changed(&c, &QAbstractItemModel::dataChanged);
        c.setDifference(14, 2, QStringLiteral("250 ok")); // "MAIL more": told where it is shown, if it is
        QCOMPARE(changed.isEmpty() ? -1 : changed.at(0).at(0).value<QModelIndex>().row(), session == 1 ? -1 : c.rowCount() - 1);
        c.clear();
        QVERIFY(c.rowCount() == 0 && c.restoreCleared());
        QCOMPARE(rows(c), kept);
        c.setRowFilter({});
        QVERIFY(!c.isFiltered() && c.rowCount() == (session == 0 ? 16 : 8) && c.heldRows() == 16);
        QVERIFY(ConversationTranscript::lines(c, 0, c.rowCount()).startsWith(lines.value(session)));
    }

    // A file read in pieces: the rows held stay in view, untouched, until
    // the commit swaps in every line at its real time (the rows it replaced
    // being one undo away); lines dropped are gone for good.
    void stagedLinesShowOnlyOnceCommitted()
    {
        Conversation &c = *m_conv;
        add(c, Side::Client, "held\r\n");
        Conversation written;
        const QByteArray text = fillInterleaved(written, interleavedSessions(), T0).value(0);

        TranscriptReader dropped;
        QVERIFY(dropped.parse("00:00:00.000 C: never\n", QDate::currentDate()));
        TranscriptLoading::stage(c, dropped);
        c.dropStaged();

        QSignalSpy told(&c, &QAbstractItemModel::modelAboutToBeReset), inserted(&c, &QAbstractItemModel::rowsAboutToBeInserted);
        TranscriptReader reader;
        reader.begin(T0 + 60000);
        for (qsizetype at = 0; at < text.size(); at += 7) { // lines cut anywhere
            QVERIFY(reader.feed(QByteArrayView(text).sliced(at, std::min<qsizetype>(7, text.size() - at))));
            TranscriptLoading::stage(c, reader);
            reader.takeLines();
            QCOMPARE(rows(c), QStringLiteral("C:held"));
        }
        QVERIFY(reader.close());
        TranscriptLoading::stage(c, reader);
        QCOMPARE(told.count() + inserted.count(), 0);
        TranscriptLoading::commit(c, reader);
        QCOMPARE(ConversationTranscript::lines(c, 0, c.rowCount()), text);
        QCOMPARE(c.heldRows(), 14);
        QVERIFY(c.restoreCleared() && rows(c).startsWith(QStringLiteral("C:held ")) && c.rowCount() == 15);
    }

    // The search, over the rows shown of both sides: case and Unicode
    // folding, UTF-8 and Latin-1 rows alike, never across rows.
    void searchFindsRowsOfBothSides_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("ASCII, case ignored, both sides") << QStringLiteral("mail FROM") << QList<int>{0, 1, 3};
        QTest::newRow("no match across rows") << QStringLiteral("okQUIT") << QList<int>{};
        QTest::newRow("UTF-8 and Latin-1 rows alike") << QStringLiteral("\u00c9T\u00e9") << QList<int>{4, 5};
        QTest::newRow("Kelvin sign folds to k") << QStringLiteral("ok") << QList<int>{1, 6};
        QTest::newRow("Kelvin sign typed") << QStringLiteral("O\u212a") << QList<int>{1, 6};
        QTest::newRow("control character") << QStringLiteral("\u001b[") << QList<int>{7};
        QTest::newRow("whole row") << QStringLiteral("quit") << QList<int>{8};
        QTest::newRow("longer than any row") << QString(200, QLatin1Char('x')) << QList<int>{};
        QTest::newRow("empty") << QString() << QList<int>{};
    }
    void searchFindsRowsOfBothSides()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, expected);
        const QList<QByteArray> rows = {"MAIL FROM:<a@b>", "250 ok mail from accepted", "", "Mail from again",
                                        "\xc3\xa9t\xc3\xa9 UTF-8", "\xc9t\xe9 Latin-1", "O\xe2\x84\xaa with a Kelvin sign",
                                        "\x1b[0m", "QUIT"};
        for (int i = 0; i < rows.size(); ++i) // client, server, client, ...
            add(*m_conv, i % 2 ? Side::Server : Side::Client, rows[i] + "\r\n");
        ConversationSearch search(m_conv.get());
        search.setText(text);
        QCOMPARE(QList<int>(search.matches().begin(), search.matches().end()), expected);
        m_conv->clear(); // and none left once the rows are gone
        QVERIFY(search.matches().empty());
    }
};

QTEST_GUILESS_MAIN(TestConversation)
#include "tst_conversation.moc"
