#include "EndpointText.h"
#include "StatusLine.h"
#include "WindowFixture.h"

// What the panes offer a reader of the conversation: rows a screen reader
// can read, marks told as Dravlin's own, failures found by key, a history
// event that leads to its rows.
class TstPanes : public QObject, WindowFixture
{
    Q_OBJECT
    static RelayEvent ended(int session, RelayEvent::End end, qint64 time = 0)
    {
        RelayEvent event;
        event.kind = RelayEvent::Kind::SessionEnded;
        event.session = session;
        event.time = time ? time : QDateTime::currentMSecsSinceEpoch();
        event.end = end;
        event.side = Side::Server;
        event.client = EndpointText::read(QStringLiteral("127.0.0.1:40112"));
        event.server = EndpointText::read(QStringLiteral("127.0.0.1:2525"));
        event.bytesClientToServer = 1204;
        event.bytesServerToClient = 342;
        event.durationMs = 2584;
        return event;
    }
    QList<int> selected() { return m_client->selectedRows(); }

private Q_SLOTS:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // Enter or "Détails…" on a row: all of a long binary row, as hex and as
    // escaped text; a login's Base64 decoded, its password masked until asked.
    void detailsShowAWholeLongRowAndDecodeLoginsWithThePasswordMasked()
    {
        QByteArray binary(64 * 1024, '\0');
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char(i * 7);
        add(Side::Client, {binary});
        add(Side::Client, {"AUTH PLAIN " + QByteArray("\0alice\0s3cret", 13).toBase64()}, 0, false, 1);
        waitShown();

        RowDetailsDialog *dialog = openDetails(m_client, 0, true);
        QVERIFY(dialog);
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("lblLongueur"))->text(),
                 QLocale(QLocale::French).toString(65536) + QStringLiteral(" octets"));
        const QStringList dump = dialog->findChild<QPlainTextEdit *>(QStringLiteral("txtOctets"))->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(dump.size(), 4097); // the CR LF that ended it last
        QCOMPARE(dump.first(), QStringLiteral("00000000  00 07 0e 15 1c 23 2a 31  38 3f 46 4d 54 5b 62 69  |.....#*18?FMT[bi|"));
        QVERIFY(dump.last().startsWith(QStringLiteral("00010000  0d 0a  ")));
        QVERIFY(dialog->findChild<QLabel *>(QStringLiteral("lblFinLigne"))->text().startsWith(QStringLiteral("CR LF")));
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("lblTls"))->text(), QStringLiteral("reçue en clair"));
        QVERIFY(!dialog->findChild<QLabel *>(QStringLiteral("lblSession")));
        QVERIFY(dialog->findChild<QPlainTextEdit *>(QStringLiteral("txtTexte"))->toPlainText().startsWith(
            QLatin1String("\\x00\\x07\\x0e\\x15\\x1c#*18?FMT[bipw~\\x85")));
        delete dialog;

        // A login decoded (how, AuthExchange's suite tells), in a numbered session.
        dialog = openDetails(m_client, 1, false);
        QVERIFY(dialog && dialog->findChild<QLabel *>(QStringLiteral("lblSession")));
        auto *decoded = dialog->findChild<QLabel *>(QStringLiteral("lblDecode"));
        auto *reveal = dialog->findChild<QCheckBox *>(QStringLiteral("chkMotDePasse"));
        QVERIFY(decoded && reveal && decoded->text().contains(QStringLiteral("Utilisateur : alice")));
        QVERIFY(!decoded->text().contains(QLatin1String("s3cret")));
        reveal->click();
        QVERIFY(decoded->text().contains(QLatin1String("s3cret")));
        delete dialog;
    }

    // "Détails…" on a mark tells what it stands for, written by Dravlin,
    // and shows no length or dump that could be taken for bytes sent.
    void aMarksDetailsTellItAsDravlinsNote()
    {
        RelayEvent tls;
        tls.kind = RelayEvent::Kind::TlsEstablished;
        tls.session = 3;
        tls.side = Side::Server;
        tls.upgrade = RelayEvent::Upgrade::Smtp;
        tls.tls.protocol = QStringLiteral("TLSv1.3");
        tls.tls.peerFingerprint = QStringLiteral("AB:CD");
        m_conv->appendMark(tls);
        m_conv->appendMark(ended(3, RelayEvent::End::ResetByServer));
        // Its tooltip wraps and stops after a few lines, however long the mark.
        SessionMark longMark;
        longMark.wordsRead = QByteArray("long ").repeated(200000);
        const QStringList tip = SessionMarks::tooltip(longMark, SessionMarks::text(longMark)).split(QLatin1Char('\n'));
        QCOMPARE(tip.size(), SessionMarks::TooltipLines);
        QVERIFY(tip.last().endsWith(QChar(0x2026)));
        for (const QString &line : tip)
            QVERIFY(line.size() <= SessionMarks::TooltipColumns + 1);
        const struct { int row; QStringList fields; } marks[] = {
            {0, {QStringLiteral("lblGenre=TLS établi"), QStringLiteral("lblSession=#3"), QStringLiteral("lblTls=*AB:CD")}},
            {1, {QStringLiteral("lblGenre=fin de session en échec"), QStringLiteral("lblClient=127.0.0.1:40112"),
                 QStringLiteral("lblServeur=127.0.0.1:2525"), QStringLiteral("lblFin=réinitialisée par le serveur"),
                 QStringLiteral("lblVersServeur=1\u202f204 octets"), QStringLiteral("lblVersClient=342 octets"),
                 QStringLiteral("lblDuree=2,584 s")}}};
        for (const auto &mark : marks) {
            RowDetailsDialog dialog(*m_conv, mark.row, m_window);
            QVERIFY(dialog.findChild<QLabel *>(QStringLiteral("lblCote"))->text().startsWith(QStringLiteral("Dravlin")));
            QVERIFY(!dialog.findChild<QPlainTextEdit *>(QStringLiteral("txtOctets")));
            QVERIFY(!dialog.findChild<QLabel *>(QStringLiteral("lblLongueur")));
            for (const QString &field : mark.fields) {
                const QString name = field.section(QLatin1Char('='), 0, 0), text = field.section(QLatin1Char('='), 1);
                auto *label = dialog.findChild<QLabel *>(name);
                QVERIFY2(label, qPrintable(name));
                QVERIFY2(text.startsWith(QLatin1Char('*')) ? label->text().contains(text.mid(1)) : label->text() == text,
                         qPrintable(name + QLatin1Char('=') + label->text()));
            }
        }
    }

    // A mark too long for the client's pane goes on in the server's after a
    // whole word, never between a figure and its unit.
    void aMarkBreaksAfterAWordNeverBeforeItsUnit()
    {
        const QFontMetrics metrics(m_client->font());
        const QString text = QStringLiteral("durée 2,584 s —");
        QCOMPARE(RowDelegate::markSplit(text, metrics, 10000), text.size());
        const int upToUnit = metrics.horizontalAdvance(QStringLiteral("durée 2,584 s"));
        QCOMPARE(text.left(RowDelegate::markSplit(text, metrics, upToUnit - 1)), QStringLiteral("durée "));
        QCOMPARE(RowDelegate::markSplit(text, metrics, 1), 1);
    }

    // F8 selects the next failure reply or failed session's mark, Shift+F8
    // the one before, wrapping round; neutral and good replies are passed over.
    void f8StepsThroughFailuresInOrder()
    {
        add(Side::Client, {"MAIL FROM:<a>"});                         // 0
        add(Side::Server, {"250 ok", "550 5.1.1 no such user"});      // 1, 2
        add(Side::Server, {"-ERR bad", "+OK", "* NO [ALERT] untagged"}); // 3, 4, 5
        add(Side::Server, {"a1 NO fail", "a2 BAD syntax", "421 bye"});  // 6, 7, 8
        m_conv->appendMark(ended(0, RelayEvent::End::ClosedByClient)); // 9
        m_conv->appendMark(ended(0, RelayEvent::End::ResetByServer));  // 10
        add(Side::Client, {"550 said by the client"});                 // 11
        waitShown();
        m_client->setFocus();
        QList<int> forward;
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(m_client, Qt::Key_F8);
            forward << selected().value(0, -1);
        }
        QCOMPARE(forward, QList<int>({2, 3, 6, 7, 8, 10, 2}));
        QTest::keyClick(m_client, Qt::Key_F8, Qt::ShiftModifier);
        QCOMPARE(selected(), QList<int>{10});
        QCOMPARE(m_client->currentIndex().row(), 10);
    }

    // A history event chosen by Enter shows its session alone and selects
    // the last row that had come by its time: the session's end mark. A row's
    // "Suivre cette session" shows its own; "Échecs seulement" lists the failed.
    void aHistoryEventLeadsToItsRow()
    {
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        m_conv->appendMark(ended(1, RelayEvent::End::ClosedByClient, t));
        m_conv->appendMark(ended(2, RelayEvent::End::ResetByServer, t + 10));
        m_conv->appendMark(ended(1, RelayEvent::End::Stopped, t + 20));
        m_window->sessions()->rebuild();
        waitShown();
        auto *status = m_window->findChild<StatusLine *>();
        status->record(ended(2, RelayEvent::End::ResetByServer, t + 10));
        m_window->showEventHistory();
        auto *dialog = m_window->findChild<EventHistoryDialog *>();
        QVERIFY(dialog);
        auto *list = dialog->findChild<QTreeWidget *>(QStringLiteral("lstHistorique"));
        list->setCurrentItem(list->topLevelItem(list->topLevelItemCount() - 1));
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        QTRY_COMPARE(m_conv->shownSession(), 2);
        waitShown();
        QCOMPARE(selected(), QList<int>{0});
        QVERIFY(m_conv->isMarker(0) && m_conv->markerText(0).contains(QStringLiteral("réinitialisée par le serveur")));

        SessionList *sessions = m_window->sessions();
        sessions->findChild<QAction *>(QStringLiteral("actEchecsSeulement"))->trigger();
        QVERIFY(sessions->isRowHidden(1, {}) && !sessions->isRowHidden(2, {}) && !sessions->isRowHidden(0, {}));
        sessions->showSession(0);
        waitShown();
        m_client->selectionModel()->setCurrentIndex(m_client->model()->index(2, 0), QItemSelectionModel::ClearAndSelect);
        const QList<QAction *> menu = m_client->actions();
        const auto follow = std::find_if(menu.begin(), menu.end(), [](QAction *a) { return a->objectName() == QLatin1String("actSuivreSession"); });
        QVERIFY(follow != menu.end());
        (*follow)->trigger();
        QCOMPARE(m_conv->shownSession(), 1);
    }

    // Alt and a letter reach every caption's field, box and button of the
    // row and the find bar, no letter twice; Tab reads the row in order.
    void everyControlHasItsOwnLetterAndTabReadsTheRowInOrder()
    {
        QSet<QChar> letters;
        QList<QWidget *> captioned;
        for (QLabel *label : m_window->findChildren<QLabel *>())
            captioned.append(label);
        for (QAbstractButton *button : m_window->findChildren<QAbstractButton *>())
            captioned.append(button);
        for (QWidget *widget : captioned) {
            const auto *label = qobject_cast<QLabel *>(widget);
            const QString text = label ? label->text() : static_cast<QAbstractButton *>(widget)->text();
            const QKeySequence key = QKeySequence::mnemonic(text);
            const bool needed = !text.isEmpty() && text.size() > 1 && !qobject_cast<QToolButton *>(widget)
                && widget->objectName() != QStringLiteral("lblEtat")
                && (widget->parent()->objectName() == QStringLiteral("Frame1")
                    || widget->parent()->objectName() == QStringLiteral("barRecherche"));
            QVERIFY2(!needed || !key.isEmpty(), qPrintable(widget->objectName()));
            if (key.isEmpty())
                continue;
            const QChar letter = text.at(text.indexOf(QLatin1Char('&')) + 1).toLower();
            QVERIFY2(!letters.contains(letter), qPrintable(widget->objectName()));
            letters.insert(letter);
            QVERIFY2(label ? label->buddy() != nullptr : static_cast<QAbstractButton *>(widget)->shortcut() == key,
                     qPrintable(widget->objectName()));
        }
        QTest::keyClick(m_window, Qt::Key_C, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("txtClients"));

        QStringList order;
        QWidget *at = m_window->findChild<QWidget *>(QStringLiteral("txtPortClient"));
        for (int i = 0; i < 8; ++i, at = at->nextInFocusChain()) {
            while (!(at->focusPolicy() & Qt::TabFocus))
                at = at->nextInFocusChain();
            order.append(at->objectName());
        }
        QCOMPARE(order.join(QLatin1Char(' ')),
                 QStringLiteral("txtPortClient txtAdresseServeur txtClients chkTls txtPortServeur chkTlsInsecure cmdStart cmdStop"));
    }

    // "Filtrer" leaves the matching rows, rows to come too, until the bar
    // closes; a regular expression that does not compile turns the field red
    // with why, matches nothing and filters nothing out.
    void theFindBarFiltersAndReadsRegularExpressions()
    {
        add(Side::Client, {"HELO a"});
        add(Side::Server, {"250 ok"});
        add(Side::Client, {"MAIL FROM:<x@250.example>"});
        add(Side::Server, {"550 no"});
        m_window->findChild<QAction *>(QStringLiteral("actRechercher"))->trigger();
        auto *field = m_window->findChild<QLineEdit *>(QStringLiteral("txtRecherche"));
        auto *count = m_window->findChild<QLabel *>(QStringLiteral("lblCompte"));
        QTest::keyClicks(field, QStringLiteral("250"));
        QCOMPARE(m_conv->rowCount(), 4);
        m_window->findChild<QCheckBox *>(QStringLiteral("chkFiltrer"))->setChecked(true);
        QCOMPARE(m_conv->rowCount(), 2);
        QCOMPARE(m_conv->text(1, Side::Client), QStringLiteral("MAIL FROM:<x@250.example>"));
        add(Side::Server, {"250 bye", "221 fin"});
        QCOMPARE(m_conv->rowCount(), 3);
        QCOMPARE(count->text(), QStringLiteral("1 / 3"));

        m_window->findChild<QCheckBox *>(QStringLiteral("chkExpression"))->setChecked(true);
        field->setText(QStringLiteral("^(helo|5\\d\\d) "));
        QCOMPARE(m_conv->rowCount(), 2);
        QCOMPARE(m_conv->text(1, Side::Server), QStringLiteral("550 no"));
        field->setText(QStringLiteral("(250"));
        QCOMPARE(m_conv->rowCount(), 6);
        QCOMPARE(count->text(), QStringLiteral("expression invalide"));
        QVERIFY(field->toolTip().startsWith(QStringLiteral("Expression régulière invalide")));
        QVERIFY(field->styleSheet().contains(QStringLiteral("background")));
        field->setText(QStringLiteral("(250)"));
        QVERIFY(field->toolTip().isEmpty());
        QCOMPARE(m_conv->rowCount(), 3);
        QTest::keyClick(field, Qt::Key_Escape);
        QCOMPARE(m_conv->rowCount(), 6);
    }

    // Green and "Serveur démarré" once the port is had, not at the click; a
    // wider window widens the row; a narrow line gives up its lesser parts
    // rather than show a bare "…".
    void theRowSaysStartedOnceListeningAndTheLineDropsWhatDoesNotFit()
    {
        auto *row = m_window->findChild<QWidget *>(QStringLiteral("Frame1"));
        auto *host = m_window->findChild<QWidget *>(QStringLiteral("txtAdresseServeur"));
        auto *panel = m_window->findChild<QWidget *>(QStringLiteral("FrameEtat"));
        const QSize before(row->width(), host->width());
        m_window->resize(m_window->width() + 300, m_window->height());
        QTRY_VERIFY(row->width() >= before.width() + 300);
        QVERIFY(host->width() > before.height() && panel->geometry().right() > row->width() - 40);

        fillFields(LoopbackPeer::unusedPort()); // never dialled: no client comes
        m_window->clickStart();
        QCOMPARE(control<QLabel>("lblEtat")->text(), QStringLiteral("Serveur arrêté"));
        expectState(true);
        QVERIFY(status().contains(QStringLiteral("En écoute")));

        // Times of arrival, off by default, are kept for the next window.
        auto *times = m_window->findChild<QAction *>(QStringLiteral("actHeure"));
        QVERIFY(m_client->actions().contains(times) && !times->isChecked());
        add(Side::Client, {"x"});
        const QImage plain = m_client->viewport()->grab().toImage();
        times->trigger();
        QVERIFY(m_client->viewport()->grab().toImage() != plain);
        tearDown(); // a window of its own, with the settings the last one left
        setUp();
        times = m_window->findChild<QAction *>(QStringLiteral("actHeure"));
        QVERIFY(times->isChecked());
        times->trigger();

        QStatusBar bar;
        StatusLine line(&bar);
        line.record(0, QStringLiteral("Une nouvelle longue assez pour être coupée à un mot"), false);
        line.showCleared(12);
        bar.resize(240, 30);
        bar.show();
        auto *cleared = bar.findChild<QLabel *>(QStringLiteral("lblEffacement"));
        auto *news = bar.findChild<QLabel *>(QStringLiteral("lblEvenement"));
        QTRY_VERIFY(news->isVisible() && !cleared->isVisible());
        QTRY_VERIFY(news->text().size() > 1 && news->text().endsWith(QChar(0x2026)));
        bar.resize(900, 30);
        QTRY_VERIFY(cleared->isVisible() && news->isVisible());
    }
};

QTEST_MAIN(TstPanes)
#include "tst_panes.moc"
