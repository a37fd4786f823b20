#include "ControlBytes.h"
#include "Conversation.h"
#include "ConversationSearch.h"
#include "RowDelegate.h"
#include "RowDetailsDialog.h"
#include "RowsFixture.h"
#include "TrafficPanes.h"

#include <QAbstractItemModelTester>
#include <QtTest>
#include <QtWidgets>

// What was drawn: each text item with its place and pen colour, the colours
// shapes were filled with, the pens they were outlined with.
struct Drawing {
    struct Text {
        QString text;
        qreal x;
        QColor colour;
    };
    QList<Text> texts;
    QList<QColor> fills;
    QList<QColor> paths;
};

class DrawingEngine : public QPaintEngine
{
public:
    Drawing drawing;

    DrawingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}
    bool begin(QPaintDevice *) override { return true; }
    bool end() override { return true; }
    Type type() const override { return User; }
    void updateState(const QPaintEngineState &state) override
    {
        if (state.state() & DirtyPen)
            m_pen = state.pen();
        if (state.state() & DirtyBrush)
            m_brush = state.brush();
    }
    void drawTextItem(const QPointF &at, const QTextItem &item) override { drawing.texts.append({item.text(), at.x(), m_pen.color()}); }
    void drawPath(const QPainterPath &) override
    {
        if (m_pen.style() != Qt::NoPen)
            drawing.paths.append(m_pen.color());
        if (m_brush.style() != Qt::NoBrush)
            drawing.fills.append(m_brush.color());
    }
    void drawRects(const QRectF *, int) override { drawing.fills.append(m_brush.color()); }
    void drawPolygon(const QPointF *, int, PolygonDrawMode) override { drawing.fills.append(m_brush.color()); }
    void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override {}

private:
    QPen m_pen;
    QBrush m_brush;
};

// An image whose painting is recorded instead of rasterised.
class Recorder : public QImage
{
public:
    Recorder() : QImage(2000, 200, QImage::Format_ARGB32) {}
    mutable DrawingEngine engine;
    QPaintEngine *paintEngine() const override { return &engine; }
};

// The two panes of one conversation, as the window holds them, in a bare host.
class TstTrafficPanes : public QObject
{
    Q_OBJECT
    QWidget *m_host = nullptr;
    Conversation *m_conv = nullptr;
    PaneView *m_client = nullptr, *m_server = nullptr;
    TrafficPanes *m_panes = nullptr;
    using Rows = QList<int>;

    void add(Side side, const QList<QByteArray> &lines) { m_conv->appendRows(side, rowsOf(lines), 0); }
    // Chunks of three rows on alternate sides, then both panes laid out.
    void fill(int chunks)
    {
        for (int i = 0; i < chunks; ++i)
            add(i % 2 ? Side::Server : Side::Client, {"row " + QByteArray::number(i * 3), "+1", "+2"});
        waitShown();
    }
    void waitShown() // rows reach the panes at their pace
    {
        QTRY_COMPARE(m_client->model()->rowCount(), m_conv->rowCount());
        for (PaneView *pane : {m_client, m_server})
            QTRY_VERIFY(m_conv->rowCount() == 0 || pane->indexAt(QPoint(2, 2)).isValid());
        QTRY_COMPARE(m_client->verticalScrollBar()->maximum(), m_server->verticalScrollBar()->maximum());
    }
    // What the pane draws for one row, through its real paint path.
    static Drawing drawingOf(PaneView *pane, int row)
    {
        Recorder recorder;
        const QRect rect = pane->visualRect(paneIndex(pane, row));
        pane->viewport()->render(&recorder, QPoint(), QRegion(rect), QWidget::RenderFlags());
        return recorder.engine.drawing;
    }
    RowDetailsDialog *openDetails(PaneView *pane, int row, bool byKey)
    {
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, rowCentre(pane, row));
        if (byKey)
            QTest::keyClick(pane, Qt::Key_Return);
        else
            pane->findChild<QAction *>(QStringLiteral("actDetails"))->trigger();
        return m_host->findChild<RowDetailsDialog *>();
    }

private Q_SLOTS:
    void init()
    {
        m_host = new QWidget;
        m_conv = new Conversation(m_host);
        new QAbstractItemModelTester(m_conv, QAbstractItemModelTester::FailureReportingMode::QtTest, m_host);
        auto *layout = new QHBoxLayout(m_host);
        layout->addWidget(m_client = new PaneView(m_host));
        layout->addWidget(m_server = new PaneView(m_host));
        m_panes = new TrafficPanes(m_conv, m_client, m_server, m_host);
        new QAbstractItemModelTester(m_client->model(), QAbstractItemModelTester::FailureReportingMode::QtTest, m_host);
        m_host->resize(600, 300);
        m_host->show();
        // Active, so the focus has settled: a pane repaints its frame when it gets the focus.
        QVERIFY(QTest::qWaitForWindowActive(m_host));
    }
    void cleanup() { delete m_host; }

    void rowsLandInTheirSidesPaneOnOneLevelLine()
    {
        add(Side::Server, {"220 pr\xc3\xaat"});
        add(Side::Client, {"EHLO x", ""});
        add(Side::Server, {"\xe9t\xe9"}); // Latin-1, not UTF-8
        add(Side::Client, {"lone\nLF and\rCR"});
        waitShown();
        QCOMPARE(shownRows(m_client), textsOf({" ", "EHLO x", "", " ", "lone\nLF and\rCR"}));
        QCOMPARE(shownRows(m_server), textsOf({"220 prêt", " ", " ", "été", " "}));
    }

    void searchFindsRowsOfBothSides_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Rows>("expected");
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
    void searchFindsRowsOfBothSides()
    {
        QFETCH(QString, text);
        QFETCH(Rows, expected);
        const QList<QByteArray> rows = {"MAIL FROM:<a@b>", "250 ok mail from accepted", "", "Mail from again",
                                        "\xc3\xa9t\xc3\xa9 UTF-8", "\xc9t\xe9 Latin-1", "O\xe2\x84\xaa with a Kelvin sign",
                                        "\x1b[0m", "QUIT"};
        for (int i = 0; i < rows.size(); ++i) // client, server, client, ...
            add(i % 2 ? Side::Server : Side::Client, {rows[i]});
        ConversationSearch search(m_conv);
        search.setText(text);
        QCOMPARE(Rows(search.matches().begin(), search.matches().end()), expected);
        m_conv->clear(); // and none left once the rows are gone
        QVERIFY(search.matches().empty());
    }

    void aBurstOfChunksReachesTheViewsInTwoHandOversAndEndTakesTheRest()
    {
        QSignalSpy handOvers(m_client->model(), &QAbstractItemModel::rowsInserted);
        for (int i = 0; i < 200; ++i) // one event-loop pass, as a flood delivers them
            add(i % 2 ? Side::Server : Side::Client, {"chunk " + QByteArray::number(i)});
        QCOMPARE(handOvers.count(), 1); // the first at once, the others held back together
        QCOMPARE(m_client->model()->rowCount(), 1);
        QCOMPARE(m_server->model()->rowCount(), 1); // level with it, row for row
        QTest::keyClick(m_client, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(m_client->model()->rowCount(), 200);
        QCOMPARE(m_client->currentIndex().row(), 199);
        QCOMPARE(handOvers.count(), 2);
        add(Side::Client, {"late"});
        m_conv->clear(); // a clear drops what was held back, at once
        QCOMPARE(m_client->model()->rowCount(), 0);
        add(Side::Client, {"after"});
        QTRY_COMPARE(m_client->model()->rowCount(), 1);
        QCOMPARE(shown(m_client, 0), QStringLiteral("after"));
    }

    void controlBytesDrawAsBadgesAndTheRestOfTheRowStaysVisible_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<QStringList>("drawn"); // text items left to right; badges are the capitals
        QTest::newRow("bare LF") << QByteArray("abc\nxyz") << textsOf({"abc", "LF", "xyz"});
        QTest::newRow("bare CR") << QByteArray("a\rb") << textsOf({"a", "CR", "b"});
        QTest::newRow("NUL") << QByteArray("\0z", 2) << textsOf({"NUL", "z"});
        QTest::newRow("ESC") << QByteArray("\x1b[0m") << textsOf({"ESC", "[0m"});
        QTest::newRow("C1 in UTF-8") << QByteArray("\xc2\x9bX") << textsOf({"x9B", "X"});
        QTest::newRow("C1 as Latin-1") << QByteArray("\x9b\xe9") << textsOf({"x9B", "é"});
        QTest::newRow("DEL, TAB no badge") << QByteArray("\x7f\tq") << textsOf({"DEL", "q"});
    }
    void controlBytesDrawAsBadgesAndTheRestOfTheRowStaysVisible()
    {
        QFETCH(QByteArray, row);
        QFETCH(QStringList, drawn);
        add(Side::Client, {row});
        waitShown();
        const Drawing items = drawingOf(m_client, 0);
        QStringList words;
        for (const Drawing::Text &t : items.texts) {
            bool badge = false;
            for (char32_t c = 0; c < 0xa0; ++c)
                badge = badge || ControlBytes::label(c) == t.text;
            QCOMPARE(t.colour == RowDelegate::badgeInk(), badge);
            QVERIFY(t.x < m_client->viewport()->width()); // inside the pane, not pushed off
            QVERIFY(words.isEmpty() || t.x > items.texts[words.size() - 1].x);
            words.append(t.text);
        }
        QCOMPARE(words, drawn);
        QVERIFY(items.fills.contains(RowDelegate::badgeFill()));
        QVERIFY(drawingOf(m_server, 0).texts.isEmpty()); // opposite: an alignment row
    }

    void emptyLineShowsAMarkAndAlignmentRowsAShadeLongRowsOnlyWhatFits()
    {
        add(Side::Client, {"", QByteArray(64 * 1024, 'w')});
        waitShown();
        const Drawing empty = drawingOf(m_client, 0), alignment = drawingOf(m_server, 0);
        QVERIFY(empty.texts.isEmpty());
        QVERIFY(empty.paths.size() == 1 && empty.paths[0].alphaF() < 0.5); // the faint return mark
        QVERIFY(alignment.texts.isEmpty() && alignment.paths.isEmpty());
        QVERIFY(alignment.fills.contains(RowDelegate::alignmentBackground(m_server->palette())));
        // 64 KiB: one text item, cut to what the pane shows, ending in an ellipsis.
        const Drawing longRow = drawingOf(m_client, 1);
        QCOMPARE(longRow.texts.size(), 1);
        QVERIFY(longRow.texts[0].text.size() < m_client->viewport()->width());
        QVERIFY(longRow.texts[0].text.endsWith(QChar(0x2026)));
    }

    // Enter or "Détails…" on a row: all of a long binary row, as hex and as
    // escaped text; a login's Base64 decoded, its password masked until asked.
    void detailsShowAWholeLongRowAndDecodeLoginsWithThePasswordMasked()
    {
        QByteArray binary(64 * 1024, '\0');
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char(i * 7);
        add(Side::Client, {binary, "AUTH PLAIN " + QByteArray("\0alice\0s3cret", 13).toBase64(), "AUTH LOGIN"});
        add(Side::Server, {"334 VXNlcm5hbWU6"});
        add(Side::Client, {QByteArray("bob").toBase64()});
        add(Side::Server, {"334 UGFzc3dvcmQ6"});
        add(Side::Client, {QByteArray("hunter2").toBase64()});
        waitShown();

        RowDetailsDialog *dialog = openDetails(m_client, 0, true);
        QVERIFY(dialog);
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("lblLongueur"))->text(),
                 QLocale(QLocale::French).toString(65536) + QStringLiteral(" octets"));
        const QStringList dump = dialog->findChild<QPlainTextEdit *>(QStringLiteral("txtOctets"))->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(dump.size(), 4096);
        QCOMPARE(dump.first(), QStringLiteral("00000000  00 07 0e 15 1c 23 2a 31  38 3f 46 4d 54 5b 62 69  |.....#*18?FMT[bi|"));
        QVERIFY(dialog->findChild<QPlainTextEdit *>(QStringLiteral("txtTexte"))->toPlainText().startsWith(
            QLatin1String("\\x00\\x07\\x0e\\x15\\x1c#*18?FMT[bipw~\\x85")));
        delete dialog;

        const struct { int row; const char *shown, *password; } logins[] = {
            {1, "Utilisateur : alice", "s3cret"}, {3, "Défi du serveur : Username:", nullptr}, {6, "", "hunter2"}};
        for (const auto &login : logins) {
            dialog = openDetails(login.row % 2 ? m_client : m_server, login.row, false);
            QVERIFY(dialog);
            auto *decoded = dialog->findChild<QLabel *>(QStringLiteral("lblDecode"));
            auto *reveal = dialog->findChild<QCheckBox *>(QStringLiteral("chkMotDePasse"));
            QVERIFY(decoded && decoded->text().contains(QString::fromUtf8(login.shown)));
            QCOMPARE(bool(reveal), login.password != nullptr);
            if (reveal) {
                QVERIFY(!decoded->text().contains(QLatin1String(login.password)));
                reveal->click();
                QVERIFY(decoded->text().contains(QLatin1String(login.password)));
            }
            delete dialog;
        }
    }

    void newRowsBelowAreAnnouncedNotScrolledToAndTheNoticeGoesToTheEnd()
    {
        auto *notice = m_host->findChild<QToolButton *>(QStringLiteral("btnNouvellesLignes"));
        fill(100);
        const int below = m_client->model()->rowCount() - 1 - m_client->lastVisibleRow();
        QCOMPARE(m_panes->unseenRows(), below);
        QVERIFY(notice->isVisible());
        for (int i = 0; i < 20; ++i)
            add(Side::Server, {"late"});
        waitShown();
        QCOMPARE(m_client->firstVisibleRow(), 0); // never scrolled
        QCOMPARE(notice->text(), QStringLiteral("\u2193 %1 nouvelles lignes").arg(below + 20));
        m_client->verticalScrollBar()->setValue(10); // what scrolls into view is seen
        QCOMPARE(m_panes->unseenRows(), below + 20 - 10);
        QTest::mouseClick(notice, Qt::LeftButton);
        QVERIFY(!notice->isVisible());
        QCOMPARE(m_client->lastVisibleRow(), m_conv->rowCount() - 1);
        QCOMPARE(m_server->firstVisibleRow(), m_client->firstVisibleRow());
        add(Side::Client, {"at the end"}); // one more below the end: announced again
        waitShown();
        QVERIFY(notice->isVisible());
        QTest::keyClick(m_client, Qt::Key_End, Qt::ControlModifier); // reaching the end by hand hides it
        QVERIFY(!notice->isVisible());
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
        // Later rows leave both where they are, at the very bottom ("keys") too.
        const int first = leader->firstVisibleRow(), maximum = bar->maximum();
        for (int i = 0; i < 20; ++i)
            add(i % 2 ? Side::Client : Side::Server, {"more", "rows"});
        QTRY_VERIFY(bar->maximum() > maximum);
        QTRY_COMPARE(follower->verticalScrollBar()->maximum(), bar->maximum());
        QCOMPARE(leader->firstVisibleRow(), first);
        QCOMPARE(follower->firstVisibleRow(), first);
        QCOMPARE(leaderMoves.count(), 1); // once each: no echo back from the follower, none for appends
        QCOMPARE(followerMoves.count(), 1);
    }

    // A selection stays in its own pane; a double-click, even below the
    // rows, clears both panes and opens nothing.
    void selectionStaysInItsPaneAndDoubleClickClearsBoth()
    {
        fill(3);
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, rowCentre(m_client, 2));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(m_client, 4));
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, {}, rowCentre(m_server, 7));
        QCOMPARE(m_client->selectionModel()->selectedIndexes(), QModelIndexList{paneIndex(m_client, 4)});
        QCOMPARE(m_server->selectionModel()->selectedIndexes(), QModelIndexList{paneIndex(m_server, 7)});
        QTest::mouseDClick(m_server->viewport(), Qt::LeftButton, {}, QPoint(10, m_server->viewport()->height() - 5));
        QCOMPARE(shownRows(m_client) + shownRows(m_server), QStringList());
        QVERIFY(!m_host->findChild<RowDetailsDialog *>());
    }
};

QTEST_MAIN(TstTrafficPanes)
#include "tst_trafficpanes.moc"
