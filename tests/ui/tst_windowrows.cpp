#include "WindowFixture.h"

// The panes: how rows are drawn, scrolled, selected, searched and handed over.
class TstWindowRows : public QObject, WindowFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // Ctrl+F: matches of both sides are highlighted in both panes, from the
    // first visible row on; typing never scrolls, Enter and F3 (Shift: back)
    // bring the match into view wherever the focus is, wrapping round.
    void searchHighlightsBothPanesAndScrollsOnlyWhenAsked()
    {
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        for (int i = 0; i < 150; ++i) { // rows 10, 249 and 250 match
            const QByteArray client = i == 5 ? QByteArray("NOOP needle")
                                   : i == 125 ? QByteArray("RSET NeEdLe") : "MAIL FROM:<u" + QByteArray::number(i) + ">";
            add(Side::Client, {client}, t + 10 * i);
            add(Side::Server, {i == 124 ? "550 needle refused" : "250 ok"}, t + 10 * i + 3);
        }
        QTRY_COMPARE(m_client->model()->rowCount(), 300);
        const auto background = [](PaneView *pane, int row) {
            const QImage shot = pane->viewport()->grab().toImage(); // what is not under the scroll bar
            return shot.pixelColor(shot.width() - 12, pane->visualRect(paneIndex(pane, row)).center().y()).name();
        };
        const QPalette palette = m_server->palette();
        const QString current = RowDelegate::matchBackground(palette, true).name(), other = RowDelegate::matchBackground(palette, false).name();
        QCOMPARE(background(m_server, 1), RowDelegate::replyBackground(palette, ReplyClass::Positive).name()); // no match: its class

        m_client->verticalScrollBar()->setValue(200);
        QTest::keyClick(m_client, Qt::Key_F, Qt::ControlModifier);
        auto *find = control<QLineEdit>("txtRecherche");
        auto *count = control<QLabel>("lblCompte");
        QVERIFY(find->isVisible() && find->hasFocus());
        QTest::keyClicks(find, QStringLiteral("NEEDLE"));
        QCOMPARE(count->text(), QStringLiteral("2 / 3"));
        QCOMPARE(m_client->firstVisibleRow(), 200); // typing moved nothing
        QTest::keyClick(find, Qt::Key_Return);
        QCOMPARE(count->text(), QStringLiteral("3 / 3"));
        for (PaneView *pane : {m_client, m_server}) { // the match, on its side and on the other
            QVERIFY2(pane->firstVisibleRow() <= 249 && pane->lastVisibleRow() >= 250, qPrintable(QString::number(pane->firstVisibleRow())));
            QCOMPARE(background(pane, 250), current);
            QCOMPARE(background(pane, 249), other);
        }
        QTest::keyClick(find, Qt::Key_Enter);
        QCOMPARE(count->text(), QStringLiteral("1 / 3")); // wrapped round
        QVERIFY(m_server->firstVisibleRow() <= 10 && m_server->lastVisibleRow() >= 10);
        QTest::keyClick(find, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(count->text(), QStringLiteral("3 / 3"));
        m_client->setFocus();
        QTest::keyClick(m_client, Qt::Key_F3);
        QCOMPARE(count->text(), QStringLiteral("1 / 3"));
        QTest::keyClick(m_client, Qt::Key_F3, Qt::ShiftModifier);
        QCOMPARE(count->text(), QStringLiteral("3 / 3"));
        add(Side::Client, {"needle again"}, t + 2000);
        QCOMPARE(count->text(), QStringLiteral("3 / 4"));
        QTest::keyClicks(find, QStringLiteral("zz"));
        QCOMPARE(count->text(), QStringLiteral("aucun résultat"));

        find->setFocus();
        QTest::keyClick(find, Qt::Key_Escape);
        QVERIFY(!find->isVisible());
        QCOMPARE(background(m_client, 250), m_client->palette().color(QPalette::Base).name());
        const int first = m_client->firstVisibleRow();
        QTest::keyClick(m_client, Qt::Key_F3); // the bar hidden, F3 is not its own
        QCOMPARE(m_client->firstVisibleRow(), first);
    }

    // Ctrl+End takes the rows held back by the panes' pace, and goes to the last.
    void ctrlEndTakesTheRowsHeldBack()
    {
        for (int i = 0; i < 200; ++i) // one event-loop pass, as a flood delivers them
            add(i % 2 ? Side::Server : Side::Client, {"chunk " + QByteArray::number(i)});
        QCOMPARE(m_client->model()->rowCount(), 1);
        QTest::keyClick(m_client, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(m_client->currentIndex().row(), 199);
    }

    void controlBytesDrawAsBadgesAndTheRestOfTheRowStaysVisible_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<QStringList>("drawn"); // text items left to right; badges are the capitals
        QTest::newRow("bare LF") << QByteArray("abc\nxyz") << textList({"abc", "LF", "xyz"});
        QTest::newRow("bare CR") << QByteArray("a\rb") << textList({"a", "CR", "b"});
        QTest::newRow("NUL") << QByteArray("\0z", 2) << textList({"NUL", "z"});
        QTest::newRow("ESC") << QByteArray("\x1b[0m") << textList({"ESC", "[0m"});
        QTest::newRow("C1 in UTF-8") << QByteArray("\xc2\x9bX") << textList({"x9B", "X"});
        QTest::newRow("C1 as Latin-1") << QByteArray("\x9b\xe9") << textList({"x9B", "é"});
        QTest::newRow("DEL, TAB no badge") << QByteArray("\x7f\tq") << textList({"DEL", "q"});
        QTest::newRow("direction and separator") << QByteArray("a\xe2\x80\xae" "b\xe2\x80\xa8\xd8\x9c")
                                                 << textList({"a", "RLO", "b", "LS", "ALM"});
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
            for (char32_t c = 0; c < 0x2070; ++c) // past the last direction mark
                badge = badge || ControlBytes::label(c) == t.text;
            QCOMPARE(t.colour == RowDelegate::badgeInk(m_client->palette()), badge);
            QVERIFY(t.x < m_client->viewport()->width()); // inside the pane, not pushed off
            QVERIFY(words.isEmpty() || t.x > items.texts[words.size() - 1].x);
            words.append(t.text);
        }
        QCOMPARE(words, drawn);
        QVERIFY(items.fills.contains(RowDelegate::badgeFill(m_client->palette())));
    }

    // (A row too long for its pane: the ellipsis test.)
    void emptyLineShowsAMarkAndAlignmentRowsAShade()
    {
        add(Side::Client, {""});
        waitShown();
        const Drawing empty = drawingOf(m_client, 0), alignment = drawingOf(m_server, 0);
        QVERIFY(empty.texts.isEmpty());
        QVERIFY(empty.paths.size() == 1 && empty.paths[0].alphaF() < 0.5); // the faint return mark
        QVERIFY(alignment.texts.isEmpty() && alignment.paths.isEmpty());
        QVERIFY(alignment.fills.contains(RowDelegate::alignmentBackground(m_server->palette())));
    }

    void newRowsBelowAreAnnouncedNotScrolledToAndTheNoticeGoesToTheEnd()
    {
        auto *notice = control<QToolButton>("btnNouvellesLignes");
        fill(100);
        const int below = m_client->model()->rowCount() - 1 - m_client->lastVisibleRow();
        QVERIFY(notice->isVisible());
        add(Side::Server, QList<QByteArray>(20, "late"));
        waitShown();
        QCOMPARE(m_client->firstVisibleRow(), 0); // never scrolled
        QCOMPARE(notice->text(), QStringLiteral("\u2193 %1 nouvelles lignes").arg(below + 20));
        m_client->verticalScrollBar()->setValue(10); // what scrolls into view is seen
        QCOMPARE(notice->text(), QStringLiteral("\u2193 %1 nouvelles lignes").arg(below + 20 - 10));
        QTest::mouseClick(notice, Qt::LeftButton);
        QVERIFY(!notice->isVisible());
        QCOMPARE(m_client->lastVisibleRow(), m_conv->rowCount() - 1);
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

    // A row selected in either pane is selected, and drawn so, in both; a
    // double-click, even below the rows, clears both panes and opens nothing.
    void bothPanesSelectTheSameRowsAndDoubleClickClearsBoth()
    {
        fill(3);
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, rowCentre(m_client, 2));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(m_client, 4));
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(m_server, 7));
        const QColor highlight = m_client->palette().color(QPalette::Highlight);
        for (PaneView *pane : {m_client, m_server}) {
            QCOMPARE(pane->selectedRows(), (Rows{2, 4, 7}));
            for (int row = 0; row < 9; ++row)
                QCOMPARE(drawingOf(pane, row).fills.contains(highlight), row == 2 || row == 4 || row == 7);
        }
        QTest::mouseDClick(m_server->viewport(), Qt::LeftButton, {}, QPoint(10, m_server->viewport()->height() - 5));
        QCOMPARE(shownRows(m_client) + shownRows(m_server), QStringList());
        QVERIFY(!m_window->findChild<RowDetailsDialog *>());
    }

    // However wide the pane, a row too long for it ends in an ellipsis
    // inside it, whether text, badges, tabs or a padlock come before.
    void aRowWiderThanItsPaneEndsInAnEllipsisInsideIt_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("text") << QByteArray(64 * 1024, 'w') << false;
        QTest::newRow("badges") << QByteArray(2000, '\x14') << false;
        QTest::newRow("badges and Latin-1") << QByteArray("\x16\xa7\xa4""C\xac\x10").repeated(300) << false;
        QTest::newRow("tabs") << QByteArray("ab\t").repeated(500) << false;
        QTest::newRow("badges, through TLS") << QByteArray("x\x1b").repeated(500) << true;
    }

    void aRowWiderThanItsPaneEndsInAnEllipsisInsideIt()
    {
        QFETCH(QByteArray, row);
        QFETCH(bool, encrypted);
        add(Side::Client, {row}, 0, encrypted);
        waitShown();
        for (int width = 180; width < 260; width += 7) { // cut at every kind of place
            m_client->resize(width, m_client->height());
            const QList<Drawing::Text> texts = drawingOf(m_client, 0).texts;
            QVERIFY(!texts.isEmpty());
            QVERIFY2(texts.last().text.endsWith(QChar(0x2026)), qPrintable(texts.last().text));
            QVERIFY2(texts.last().x + m_client->fontMetrics().horizontalAdvance(texts.last().text) <= m_client->viewport()->width(),
                     qPrintable(QString::number(width)));
            QVERIFY(texts.size() == 1 ? texts[0].text.size() < width : texts[texts.size() - 2].x < texts.last().x);
        }
    }

    // On a light or a dark palette, every text of a row keeps at least 3:1
    // against what it is drawn on: replies of each class, badges, marks,
    // search matches and the current one.
    void rowsStayReadableOnLightAndDarkPalettes_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }

    void rowsStayReadableOnLightAndDarkPalettes()
    {
        QFETCH(bool, dark);
        if (dark) {
            QPalette palette(QColor(0x35, 0x35, 0x35)); // a window colour; the rest derived
            palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
            palette.setColor(QPalette::Text, QColor(0xe6, 0xe6, 0xe6));
            palette.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
            palette.setColor(QPalette::HighlightedText, Qt::white);
            for (PaneView *pane : {m_client, m_server})
                pane->setPalette(palette);
        }
        addMark(T0, "127.0.0.1:40112", "127.0.0.1:2525");
        add(Side::Server, {"220 ok", "354 go on", "450 later", "550 never", "x\x1b\x7fy"}, T0);
        add(Side::Client, {"needle"}, T0);
        RelayEvent reset; // a failure's mark, in the failure colour
        reset.kind = RelayEvent::Kind::SessionEnded;
        reset.end = RelayEvent::End::ResetByServer;
        reset.time = T0;
        m_conv->appendMark(reset);
        waitShown();
        ConversationSearch search(m_conv);
        const QList<RowDelegate *> delegates = {static_cast<RowDelegate *>(m_client->itemDelegate()),
                                                static_cast<RowDelegate *>(m_server->itemDelegate())};
        int checked = 0;
        for (const QString &text : {QString(), QStringLiteral("n")}) { // "n": the mark, rows 2, 4 and 6
            search.setText(text);
            for (RowDelegate *delegate : delegates) {
                delegate->setSearch(text.isEmpty() ? nullptr : &search);
                delegate->setCurrentMatch(4);
            }
            for (PaneView *pane : {m_client, m_server})
                for (int row = 0; row < m_conv->rowCount(); ++row)
                    for (const Drawing::Text &t : drawingOf(pane, row).texts) {
                        const QColor under = t.under.isValid() ? t.under : pane->palette().color(QPalette::Base);
                        QVERIFY2(contrast(t.colour, under) >= 3, qPrintable(QStringLiteral("%1 on %2: %3").arg(t.colour.name(), under.name(), t.text)));
                        ++checked;
                    }
        }
        // Twice: both marks (whole in the client's pane), the client's line, the server's five with two badges.
        QVERIFY2(checked >= 20, qPrintable(QString::number(checked)));
    }
};

QTEST_MAIN(TstWindowRows)
#include "tst_windowrows.moc"
