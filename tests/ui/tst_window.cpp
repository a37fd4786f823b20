#include "CertificateAuthority.h"
#include "CommandLine.h"
#include "ConfigurationPanel.h"
#include "ControlBytes.h"
#include "ConversationSearch.h"
#include "EndpointText.h"
#include "EventHistory.h"
#include "EventHistoryDialog.h"
#include "FakeServer.h"
#include "LineEchoServer.h"
#include "LoopbackPeer.h"
#include "PaneView.h"
#include "RawPeer.h"
#include "ReplyClass.h"
#include "RowDelegate.h"
#include "RowDetailsDialog.h"
#include "SessionList.h"
#include "SessionTable.h"
#include "SessionMarks.h"
#include "StartTlsClient.h"
#include "TestTexts.h"
#include "TsharkStreams.h"
#include "WindowFrontEnd.h"
#include "WordElidedLabel.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QtTest>
#include <QtWidgets>

#include <cerrno>
#include <memory>

#include <sys/stat.h>

namespace {

// 14:03:22.418 local time, when the greeting of the known rows arrives.
const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();

// The settings, disabled while the relay runs: the four fields first.
const char *const Fields[] = {"txtPortClient", "txtAdresseServeur", "txtPortServeur", "txtClients", "chkTls", "chkTlsInsecure"};

QModelIndex paneIndex(const PaneView *pane, int row) { return pane->model()->index(row, pane->modelColumn()); }
QString shown(const PaneView *pane, int row) { return paneIndex(pane, row).data().toString(); }
QPoint rowCentre(const PaneView *pane, int row) { return pane->visualRect(paneIndex(pane, row)).center(); }

// Every row a pane shows, top to bottom.
QStringList shownRows(const PaneView *pane)
{
    QStringList rows;
    for (int row = 0; row < pane->model()->rowCount(); ++row)
        rows.append(shown(pane, row));
    return rows;
}

// What was drawn: each text item with its place and pen colour, the colours
// shapes were filled with, the pens they were outlined with.
struct Drawing {
    struct Text {
        QString text;
        qreal x;
        QColor colour;
        QColor under; // the last shape filled before it
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
    void drawTextItem(const QPointF &at, const QTextItem &item) override
    {
        drawing.texts.append({item.text(), at.x(), m_pen.color(), m_under});
    }
    void drawPath(const QPainterPath &) override
    {
        if (m_pen.style() != Qt::NoPen)
            drawing.paths.append(m_pen.color());
        if (m_brush.style() != Qt::NoBrush)
            fill();
    }
    void drawRects(const QRectF *, int) override { fill(); }
    void drawPolygon(const QPointF *, int, PolygonDrawMode) override { fill(); }
    void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override {}

private:
    void fill()
    {
        drawing.fills.append(m_brush.color());
        if (m_brush.style() != Qt::NoBrush)
            m_under = m_brush.color();
    }
    QPen m_pen;
    QBrush m_brush;
    QColor m_under;
};

// WCAG contrast ratio, 1 to 21.
qreal contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto linear = [](qreal v) { return v <= 0.04045 ? v / 12.92 : qPow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const qreal la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// An image whose painting is recorded instead of rasterised.
class Recorder : public QImage
{
public:
    Recorder() : QImage(2000, 200, QImage::Format_ARGB32) {}
    mutable DrawingEngine engine;
    QPaintEngine *paintEngine() const override { return &engine; }
};

// What a pane draws for one row, through its real paint path.
Drawing drawingOf(PaneView *pane, int row)
{
    Recorder recorder;
    const QRect rect = pane->visualRect(paneIndex(pane, row));
    pane->viewport()->render(&recorder, QPoint(), QRegion(rect), QWidget::RenderFlags());
    return recorder.engine.drawing;
}

} // namespace

// The program's window as the user meets it, built afresh for each test
// through its front end, so options can be given as on the command line.
class TstWindow : public QObject
{
    Q_OBJECT
    using Rows = QList<int>;
    std::unique_ptr<WindowFrontEnd> m_front;
    MainWindow *m_window = nullptr;
    Conversation *m_conv = nullptr;
    PaneView *m_client = nullptr, *m_server = nullptr;

    template<typename T = QWidget> T *control(const char *name)
    {
        if (T *found = m_window->findChild<T *>(QString::fromLatin1(name)))
            return found;
        qFatal("no control %s", name);
    }
    QString status() { return control<WordElidedLabel>("lblEvenement")->fullText(); }
    QString failure() { return control<WordElidedLabel>("lblEchec")->fullText(); }
    // Each part of the status line shows its whole text, or words of it up to
    // "…", inside its width; the whole text is in its tooltip.
    void expectWholeWords()
    {
        for (const char *name : {"lblEvenement", "lblEchec"}) {
            auto *label = control<WordElidedLabel>(name);
            const QString shown = label->text(), whole = label->fullText();
            QVERIFY2(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width() || shown.size() <= 1, name);
            QVERIFY2(label->toolTip().startsWith(whole), name);
            if (shown == whole)
                continue;
            const QString kept = shown.chopped(1);
            QVERIFY2(shown.endsWith(QChar(0x2026)) && whole.startsWith(kept)
                         && (kept.isEmpty() || !whole.at(kept.size()).isLetterOrNumber()),
                     qPrintable(shown + QLatin1Char('/') + whole));
        }
    }
    // What the label shows, as a screen reader reads it: no text is taken for markup.
    static QString shownText(QLabel *label)
    {
        return QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
    }
    // The one message reported, when it is also the text of the box shown; else empty.
    QString boxedMessage(const QSignalSpy &reported)
    {
        auto *box = m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"));
        const QString message = reported.count() == 1 ? reported.first().first().toString() : QString();
        return box && box->isVisible() && box->text() == message ? message : QString();
    }
    void expectState(bool started)
    {
        QCOMPARE(control<QPushButton>("cmdStart")->isEnabled(), !started);
        QCOMPARE(control<QPushButton>("cmdStop")->isEnabled(), started);
        for (const char *field : Fields)
            QVERIFY2(control(field)->isEnabled() == !started, field);
        // Green once the relay listens, which comes after the click.
        QTRY_COMPARE(control<QLabel>("lblEtat")->text(), QString::fromUtf8(started ? "Serveur démarré" : "Serveur arrêté"));
        const QColor colour = started ? QColor(0, 255, 0) : QColor(255, 0, 0);
        QCOMPARE(control<QFrame>("FrameEtat")->grab().toImage().pixelColor(10, 10), colour); // as painted
    }
    // Fields for a relay to serverPort on loopback, from a local port nothing uses.
    void fillFields(quint16 serverPort)
    {
        quint16 local = LoopbackPeer::unusedPort();
        while (local == serverPort) // else the relay would dial itself
            local = LoopbackPeer::unusedPort();
        m_window->setFieldTexts(QString::number(local), QStringLiteral("127.0.0.1"), QString::number(serverPort));
    }
    // What the program does when started with these options.
    void openWith(const QStringList &arguments)
    {
        CommandLine options;
        QVERIFY(options.parse(QStringList{QStringLiteral("dravlin")} + arguments) == CommandLine::Outcome::Run);
        m_front->open(options);
    }
    // Rows as the capture hands them over, one per line given, in one chunk.
    void add(Side side, const QList<QByteArray> &lines, qint64 time = 0, bool encrypted = false, int session = 0)
    {
        LineCapture::Rows rows;
        for (const QByteArray &line : lines) {
            rows.spans.append({rows.buffer.size(), line.size(), LineCapture::RowEnd::CrLf});
            rows.buffer.append(line);
        }
        m_conv->appendRows(side, rows, time, encrypted, session);
    }
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
    RowDetailsDialog *openDetails(PaneView *pane, int row, bool byKey)
    {
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, rowCentre(pane, row));
        if (byKey)
            QTest::keyClick(pane, Qt::Key_Return);
        else
            pane->findChild<QAction *>(QStringLiteral("actDetails"))->trigger();
        return m_window->findChild<RowDetailsDialog *>();
    }
    // A greeting, two client lines in one chunk 12 ms later, a Latin-1 reply 1,250 s after.
    void addKnownRows()
    {
        add(Side::Server, {"220 pr\xc3\xaat"}, T0);
        add(Side::Client, {"EHLO a\\b", "tab\there\x1b[0m"}, T0 + 12);
        add(Side::Server, {"\xe9t\xe9"}, T0 + 12 + 1250);
    }
    // A session's opening mark, or its closing one when it says how it ended.
    void addMark(qint64 time, const char *client, const char *server, RelayEvent::End end = RelayEvent::End::None)
    {
        RelayEvent event;
        event.kind = end == RelayEvent::End::None ? RelayEvent::Kind::ClientConnected : RelayEvent::Kind::SessionEnded;
        event.time = time;
        event.client = EndpointText::read(QString::fromLatin1(client));
        event.server = EndpointText::read(QString::fromLatin1(server));
        event.end = end;
        m_conv->appendMark(event);
    }
    // Sessions framed by their marks, as the relay leaves them: a client
    // closing, then one on IPv6 sending every byte, reset by the server.
    void addTwoSessions()
    {
        addMark(T0 + 5000, "127.0.0.1:40112", "127.0.0.1:2525");
        add(Side::Server, {"220 ok"}, T0 + 5001);
        add(Side::Client, {"QUIT"}, T0 + 5002);
        addMark(T0 + 6000, "127.0.0.1:40112", "127.0.0.1:2525", RelayEvent::End::ClosedByClient);
        addMark(T0 + 7000, "[::1]:40114", "[::1]:2525");
        add(Side::Client, {everyByte(), "\xc3\xa9t\xc3\xa9", "\xe9t\xe9", ""}, T0 + 7001);
        addMark(T0 + 7100, "[::1]:40114", "[::1]:2525", RelayEvent::End::ResetByServer);
    }

private Q_SLOTS:
    void init()
    {
        m_front = std::make_unique<WindowFrontEnd>();
        m_window = m_front->window();
        m_conv = m_window->conversation();
        m_client = control<PaneView>("lstClient");
        m_server = control<PaneView>("lstServeur");
        SessionList *sessions = m_window->sessions();
        for (QAbstractItemModel *model : {static_cast<QAbstractItemModel *>(m_conv), m_client->model(),
                                          static_cast<QAbstractItemModel *>(sessions->table()), sessions->model()})
            new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::QtTest, m_window);
        m_window->show();
        // Active, so the focus has settled: a pane repaints its frame when it gets the focus.
        QVERIFY(QTest::qWaitForWindowActive(m_window));
    }
    void cleanup() { m_front.reset(); }

    // On a screen smaller than designed, the panes give up height first; at
    // either size every control of the configuration row stays inside its
    // border, clear of the caption on it, each caption level with its field,
    // and a box's text is whole where it fits, else cut with its tooltip
    // saying it all. Back at the design size, nothing has moved. (Run again
    // at a scale factor of 2.)
    void aSmallScreenShrinksThePanesFirstAndKeepsEveryControlWhole()
    {
        QWidget *area = m_window->centralWidget();
        auto *configuration = control<ConfigurationPanel>("Frame1");
        const QSize design = m_window->designClientSize();
        m_window->resize(m_window->size() - area->size() + design);
        QTRY_COMPARE(area->size(), design);
        const QList<QWidget *> row = configuration->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        const QRect stopAtDesign = control("cmdStop")->geometry();
        const int paneAtDesign = m_client->height();
        const QString insecure = control<QCheckBox>("chkTlsInsecure")->text().remove(QLatin1Char('&'));
        const QSize small(620, 470); // 1280x1024 at a scale factor of 2, less a window frame
        for (const QSize &size : {design, small}) {
            m_window->resize(m_window->size() - area->size() + size);
            QTRY_COMPARE(area->size(), size);
            const QRect inside = configuration->borderRect().adjusted(1, 1, -1, -1);
            for (QWidget *widget : row) {
                QVERIFY2(inside.contains(widget->geometry()) && !widget->geometry().intersects(configuration->captionRect()),
                         qPrintable(widget->objectName()));
                // What takes input overlaps nothing else that does (captions may touch).
                for (QWidget *other : row)
                    QVERIFY2(other == widget || widget->focusPolicy() == Qt::NoFocus || other->focusPolicy() == Qt::NoFocus
                                 || !other->geometry().intersects(widget->geometry()),
                             qPrintable(widget->objectName() + QLatin1Char('/') + other->objectName()));
            }
            for (auto *box : configuration->findChildren<QCheckBox *>()) {
                QVERIFY2(box->sizeHint().width() <= box->width(), qPrintable(box->text()));
                const QString text = box->text().remove(QLatin1Char('&')); // less its mnemonic
                const QString cut = text.chopped(1);
                QVERIFY(text == insecure || box != control("chkTlsInsecure")
                        || (text.endsWith(QChar(0x2026)) && insecure.startsWith(cut) && box->toolTip().startsWith(insecure)));
            }
            for (const auto &[caption, field] : {std::pair{"Label3", "txtPortClient"}, {"Label4", "txtAdresseServeur"}, {"Label5", "txtPortServeur"}})
                QVERIFY(qAbs(control(caption)->geometry().center().y() - control(field)->geometry().center().y()) <= 1);
        }
        QVERIFY(m_client->height() < paneAtDesign);
        QCOMPARE(control("cmdStop")->height(), stopAtDesign.height());
        for (QWidget *widget : {static_cast<QWidget *>(configuration), static_cast<QWidget *>(m_client), static_cast<QWidget *>(m_server)})
            QVERIFY(area->rect().contains(widget->geometry()));
        QVERIFY(!m_client->geometry().intersects(m_server->geometry()));
        m_window->resize(m_window->size() - area->size() + design);
        QTRY_COMPARE(control("cmdStop")->geometry(), stopAtDesign);
    }

    // Every pane action is in the panes' menu with its key, or the gesture
    // doing the same; every control of the row says what it does; F5 and
    // Shift+F5 start and stop, as their tooltips say.
    void everyActionIsFoundWithItsKeyAndEveryControlSaysWhatItDoes()
    {
        // Each with its own letter, Alt+letter in the open menu.
        const QStringList menu = textList({"E&ffacer\tdouble-clic", "&Rétablir l'effacement", "Re&chercher", "Échec &suivant",
                                           "Échec &précédent", "Suivre ce&tte session", "&Détails…", "C&opier", "&Enregistrer…", "O&uvrir…",
                                           "E&xporter en pcap…", "&Historique", "Exporter le certificat C&A…",
                                           "Aff&icher l'heure", "Re&jouer la session…", "Arrêter &le rejeu"});
        const QStringList keys = textList({"", "Ctrl+Z", "Ctrl+F", "F8", "Shift+F8", "", "Enter", "Ctrl+C", "Ctrl+S", "Ctrl+O", "", "Ctrl+H", "", "", "", ""});
        for (PaneView *pane : {m_client, m_server}) {
            QCOMPARE(pane->contextMenuPolicy(), Qt::ActionsContextMenu);
            QStringList texts, shortcuts;
            for (QAction *action : pane->actions()) {
                texts.append(action->text());
                shortcuts.append(action->shortcut().toString());
                QVERIFY(action->shortcut().isEmpty() || action->isShortcutVisibleInContextMenu());
            }
            QCOMPARE(texts, menu);
            QCOMPARE(shortcuts, keys);
        }
        fill(2);
        m_client->actions().first()->trigger();
        QCOMPARE(m_conv->rowCount(), 0);

        for (QWidget *widget : control("Frame1")->findChildren<QWidget *>())
            QVERIFY2(!widget->toolTip().isEmpty(), qPrintable(widget->objectName()));
        QVERIFY(control("txtPortClient")->toolTip().contains(QStringLiteral("Sur le port")));
        fillFields(LoopbackPeer::unusedPort());
        for (const auto &[button, caption, key] : {std::tuple{"cmdStart", "Ecouter", QKeySequence(Qt::Key_F5)},
                                                   {"cmdStop", "Stop !", QKeySequence(Qt::SHIFT | Qt::Key_F5)}}) {
            QCOMPARE(control<QPushButton>(button)->text().remove(QLatin1Char('&')), QString::fromLatin1(caption));
            QVERIFY(control(button)->toolTip().contains(key.toString(QKeySequence::NativeText)));
            QTest::keySequence(m_window, key);
            const bool started = button == std::string_view("cmdStart");
            QTRY_COMPARE(control("cmdStop")->isEnabled(), started); // the click is animated
            expectState(started);
        }
    }
    // The window opens on the local port; typing it fills the server port
    // keystroke by keystroke, nothing flows back.
    void theLocalPortMirrorsIntoTheServerPortNotBack()
    {
        auto *local = control<QLineEdit>("txtPortClient"), *server = control<QLineEdit>("txtPortServeur");
        QCOMPARE(QApplication::focusWidget(), local);
        local->selectAll();
        QTest::keyClicks(local, QStringLiteral("110"));
        QCOMPARE(server->text(), QStringLiteral("110"));
        QTest::keyClick(server, '5');
        QCOMPARE(local->text(), QStringLiteral("110"));
    }

    // Start empties the panes; a server that refuses the relay's dial is only
    // news on the status line, highlighted until the user acts, and the relay
    // listens on; stop keeps the rows. A port already in use stops it, boxed.
    void aRefusedDialKeepsListeningAPortInUseStops()
    {
        expectState(false);
        fillFields(LoopbackPeer::unusedPort());
        add(Side::Client, {"a", "b"});
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        m_window->clickStart();
        QCOMPARE(m_conv->rowCount(), 2); // until the port is had
        QTRY_COMPARE(QString::number(m_window->relay().listeningPort()), control<QLineEdit>("txtPortClient")->text());
        QCOMPARE(m_conv->rowCount(), 0);
        LoopbackPeer client;
        client.connectTo(m_window->relay().listeningPort());
        QVERIFY(client.waitForDisconnected());
        auto *red = control<QLabel>("lblEchec");
        QTRY_VERIFY(status().contains(QStringLiteral("Session terminée"))); // a later event
        QVERIFY2(red->isVisible() && failure().contains(QStringLiteral("connexion refusée (ECONNREFUSED) — connexion à 127.0.0.1:")),
                 qPrintable(failure()));
        QCOMPARE(reported.count(), 0);
        expectState(true);
        QTRY_COMPARE(m_conv->rowCount(), 2); // the session's marks, the second saying why it ended
        QVERIFY(m_conv->isMarker(0) && m_conv->markerText(1).contains(QStringLiteral("serveur injoignable")));

        QTest::keyClick(m_client, Qt::Key_H, Qt::ControlModifier);
        QVERIFY(!red->isVisible());
        auto *dialog = m_window->findChild<EventHistoryDialog *>();
        QTRY_VERIFY(dialog && dialog->isVisible());
        auto *list = dialog->findChild<QTreeWidget *>(QStringLiteral("lstHistorique"));
        QVERIFY(list->topLevelItem(2)->text(1).startsWith(QStringLiteral("Connexion à 127.0.0.1:"))); // listening, connected, refused: whole

        control<QPushButton>("cmdStop")->click();
        expectState(false);
        QCOMPARE(m_conv->rowCount(), 2);
        QVERIFY(!m_window->relay().isArmed());
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        m_window->setFieldTexts(QString::number(taken.serverPort()), QStringLiteral("127.0.0.1"),
                                QString::number(LoopbackPeer::unusedPort()));
        m_window->clickStart();
        QTRY_COMPARE(reported.count(), 1);
        expectState(false);
        QVERIFY(!m_window->relay().isArmed());
        const QString message = boxedMessage(reported);
        QVERIFY(message.startsWith(QStringLiteral("Écoute impossible : le port %1 est déjà utilisé").arg(taken.serverPort())));
        QCOMPARE(m_conv->rowCount(), 2); // the panes as they were
        // The cause first, once: the failure is the last event.
        QVERIFY2(red->isVisible() && failure().endsWith(QStringLiteral("  port %1 déjà utilisé — écoute impossible").arg(taken.serverPort())),
                 qPrintable(failure()));
        QVERIFY(status().isEmpty());
        expectWholeWords();
        red->setMaximumWidth(red->fontMetrics().horizontalAdvance(failure()) * 2 / 3); // short of room
        QTRY_VERIFY(red->text().endsWith(QChar(0x2026)));
        expectWholeWords();
        // The port is what to change: ready to be typed over.
        m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"))->accept();
        auto *local = control<QLineEdit>("txtPortClient");
        QTRY_COMPARE(m_window->focusWidget(), local);
        QCOMPARE(local->selectedText(), local->text());
    }

    // A host that does not resolve is named first, with the bytes it cost;
    // while a session runs its byte counts are shown; a save says where and how much.
    void theStatusLineNamesTheCauseCountsBytesAndReportsSaves()
    {
        const quint16 port = LoopbackPeer::unusedPort();
        m_window->setFieldTexts(QString::number(port), QStringLiteral("nohost..invalid"), QStringLiteral("25"));
        m_window->clickStart();
        QTRY_COMPARE(m_window->relay().listeningPort(), port);
        LoopbackPeer client;
        client.connectTo(port);
        client.send("EHLO hote\r\n");
        QVERIFY(client.waitForDisconnected());
        QTRY_VERIFY(status().contains(QStringLiteral("Session terminée")));
        QVERIFY2(failure().contains(QStringLiteral("  hôte introuvable : nohost..invalid")), qPrintable(failure()));
        QVERIFY(!status().contains(QStringLiteral("introuvable")));
        control<QPushButton>("cmdStop")->click();

        LoopbackPeer server, talker;
        QVERIFY(server.listen());
        server.setGreeting("220 ok\r\n");
        fillFields(server.serverPort());
        m_window->clickStart();
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        talker.connectTo(m_window->relay().listeningPort());
        QVERIFY(talker.waitForReceived(8));
        talker.send(QByteArray(1204, 'a'));
        QVERIFY(server.waitForReceived(1204));
        auto *counts = control<QLabel>("lblDebit");
        QTRY_COMPARE(counts->text(), QStringLiteral("client → serveur 1\u202f204 o · serveur → client 8 o"));
        QVERIFY(counts->isVisible());
        talker.close();
        QTRY_VERIFY(!counts->isVisible()); // the session's end says its totals
        control<QPushButton>("cmdStop")->click();

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("saved.txt"));
        QVERIFY(m_window->saveConversation(path));
        QCOMPARE(status().mid(10), QStringLiteral("Conversation enregistrée : %1, %2 lignes").arg(path).arg(m_conv->rowCount()));
        expectWholeWords();
    }
    // The history copies the rows selected, one event a line with its time,
    // shows the current one whole with its cause's technical name, and can
    // list failures alone, those arriving later included.
    void theHistoryCopiesWholeEventsAndCanListFailuresAlone()
    {
        EventHistory history;
        RelayEvent refused;
        refused.kind = RelayEvent::Kind::ServerFailed;
        refused.time = T0;
        refused.server = EndpointText::read(QStringLiteral("mx.example.org:25"));
        refused.cause = FailureCause::of(FailureCause::Kind::System, ECONNREFUSED);
        QVERIFY(history.append(refused).failure);
        const QString longNews = QStringLiteral("Certificat exporté dans « %1 »").arg(QString(400, QLatin1Char('d')));
        history.append(T0 + 1000, longNews, false);
        RelayEvent inUse;
        inUse.kind = RelayEvent::Kind::ListenFailed;
        inUse.time = T0 + 2000;
        inUse.listenPort = 25;
        inUse.error = QAbstractSocket::AddressInUseError;
        history.append(inUse);
        EventHistoryDialog dialog(&history, m_window);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog)); // for its shortcuts
        auto *list = dialog.findChild<QTreeWidget *>(QStringLiteral("lstHistorique"));
        auto *details = dialog.findChild<QPlainTextEdit *>(QStringLiteral("txtDetails"));
        const auto copied = [list]() {
            QGuiApplication::clipboard()->clear();
            list->setFocus();
            QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
            return QGuiApplication::clipboard()->text().split(QLatin1Char('\n'));
        };

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(1)).center());
        QCOMPARE(details->toPlainText(), QStringLiteral("14:03:23.418 ") + longNews); // whole, no cause to name
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ShiftModifier, list->visualItemRect(list->topLevelItem(2)).center());
        QVERIFY2(details->toPlainText().endsWith(QStringLiteral("\nCause technique : AddressInUseError")), qPrintable(details->toPlainText()));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, list->visualItemRect(list->topLevelItem(0)).center());
        QVERIFY(details->toPlainText().endsWith(QStringLiteral("(ECONNREFUSED). Client déconnecté, nouvelle écoute.\nCause technique : ECONNREFUSED")));
        QStringList lines = copied();
        QCOMPARE(lines.size(), 4); // each ended by a line feed
        QVERIFY(lines[0].startsWith(QStringLiteral("14:03:22.418 Connexion à mx.example.org:25 impossible")));
        QCOMPARE(lines[1], QStringLiteral("14:03:23.418 ") + longNews);
        QVERIFY(lines[2].startsWith(QStringLiteral("14:03:24.418 Écoute impossible")));

        auto *failuresOnly = dialog.findChild<QCheckBox *>(QStringLiteral("chkEchecs"));
        QTest::mouseClick(failuresOnly, Qt::LeftButton, {}, QPoint(4, failuresOnly->height() / 2));
        QVERIFY(list->topLevelItem(1)->isHidden() && !list->topLevelItem(2)->isHidden());
        history.append(T0 + 3000, QStringLiteral("Relais arrêté"), false);
        refused.time = T0 + 4000;
        history.append(refused);
        list->selectAll();
        lines = copied();
        QCOMPARE(lines.size(), 4); // two failures before, one after the news filtered out
        QVERIFY(lines[2].startsWith(QStringLiteral("14:03:26.418 Connexion à")));
    }

    void badInputIsReportedAndStartsNothing_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QStringList>("fields"); // as shown afterwards, "Clients à la fois" last
        QTest::addColumn<QString>("named");      // in the message
        QTest::addColumn<QString>("atFault");    // has the focus once the box is closed
        // Which field each fault names, and how, is the relay suite's: here what only the window does.
        const QByteArray ok = QByteArray::number(LoopbackPeer::unusedPort());
        const char *port = ok.constData();
        QTest::newRow("local port 0") << QStringLiteral("click") << textList({"0", "127.0.0.1", port, "1"})
                                      << QStringLiteral("Serveur sur le port") << QStringLiteral("txtPortClient");
        QTest::newRow("server port") << QStringLiteral("click") << textList({port, "127.0.0.1", "x", "1"}) << QStringLiteral("Sur le port")
                                     << QStringLiteral("txtPortServeur");
        QTest::newRow("empty host") << QStringLiteral("click") << textList({port, "", port, "1"}) << QStringLiteral("Redirige vers")
                                    << QStringLiteral("txtAdresseServeur");
        // Checked after the three others, as the row reads.
        // Dravlin's own port, on any of its names or addresses, is refused, as
        // is a host no resolver could take; the message names both values.
        for (const char *self : {"127.0.0.1", "localhost", "::1", "0.0.0.0", "[::ffff:127.0.0.1]"})
            QTest::addRow("self %s", self) << QStringLiteral("click") << textList({port, self, port, "4"})
                                           << QStringLiteral("port %1 (« Redirige vers », « Sur le port »), est Dravlin lui-même")
                                                  .arg(QLatin1String(port))
                                           << QStringLiteral("txtAdresseServeur");
        QTest::newRow("host with a space") << QStringLiteral("click") << textList({port, "mail server.example", "25", "1"})
                                           << QStringLiteral("« mail server.example » n'est ni un nom d'hôte ni une adresse IP")
                                           << QStringLiteral("txtAdresseServeur");
        for (const char *clients : {"0", "65", " ", "2x", "-3"})
            QTest::addRow("%s clients", clients) << QStringLiteral("click") << textList({port, "127.0.0.1", "25", clients})
                                                 << QStringLiteral("« Clients à la fois ») invalide : « %1 »").arg(QLatin1String(clients))
                                                 << QStringLiteral("txtClients");
        QTest::newRow("TLS without its authority") << QStringLiteral("tls") << textList({port, "127.0.0.1", "25", "1"})
                                                   << QStringLiteral("dravlin") << QString();
        // --start clicks for the user: the same box, the values shown as typed.
        QTest::newRow("command line") << QStringLiteral("options") << textList({"vingt", "127.0.0.1", "vingt", "64"})
                                      << QStringLiteral("Serveur sur le port") << QStringLiteral("txtPortClient");
    }
    void badInputIsReportedAndStartsNothing()
    {
        QFETCH(QString, route);
        QFETCH(QStringList, fields);
        QFETCH(QString, named);
        QFETCH(QString, atFault);
        add(Side::Client, {"a", "b"});
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QTemporaryDir home;
        if (route == QLatin1String("options")) {
            openWith({QStringLiteral("--listen"), fields[0], QStringLiteral("--server"), fields[1], QStringLiteral("--clients"),
                      fields[3], QStringLiteral("--start")});
            QTRY_COMPARE(reported.count(), 1);
        } else {
            if (route == QLatin1String("tls")) {
                QFile blocker(home.filePath(QStringLiteral("dravlin"))); // a file where the CA's folder should be
                QVERIFY(blocker.open(QIODevice::WriteOnly));
                RelaySettings::Tls tls;
                tls.inspectTls = true;
                tls.caDirectory = blocker.fileName();
                m_window->setTlsSettings(tls);
            }
            m_window->setFieldTexts(fields[0], fields[1], fields[2]);
            m_window->configuration()->setClientsText(fields[3]);
            m_window->clickStart();
        }
        const QString message = boxedMessage(reported);
        QVERIFY2(message.contains(named), qPrintable(message));
        expectState(false);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(control<QLineEdit>(Fields[i])->text(), fields[i]);
        QCOMPARE(m_conv->rowCount(), 2);
        QVERIFY(!m_window->relay().isArmed());
        m_client->setFocus(); // not where the fault is, as after a click elsewhere
        m_window->findChild<QMessageBox *>(QStringLiteral("msgErreur"))->accept();
        if (!atFault.isEmpty()) {
            auto *field = control<QLineEdit>(atFault.toLatin1().constData());
            QTRY_COMPARE(m_window->focusWidget(), field); // where the focus is, once the window is active
            QCOMPARE(field->selectedText(), field->text());
        }
    }

    // Started from the command line: every row the peers exchange reaches
    // its pane in order, UTF-8 or Latin-1, level with an alignment row in
    // the other; the session's marks frame them, alike in both panes. The
    // export gives back every byte as sent: a line longer than a row, and a
    // last line with no end, gain no CR LF.
    void relayedRowsReachBothPanesInOrderAndLevel()
    {
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        server.setGreeting("220 pr\xc3\xaat\r\n");
        const quint16 port = LoopbackPeer::unusedPort();
        openWith({QStringLiteral("--listen"), QString::number(port), QStringLiteral("--server"),
                  QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), QStringLiteral("--start")});
        QTRY_COMPARE(m_window->relay().listeningPort(), port);
        client.connectTo(port);
        QVERIFY(client.waitForReceived(11));
        client.send("EHLO \xe9t\xe9\r\nMAIL FROM:<a@b>\r\n");
        QVERIFY(server.waitForReceived(27));
        QByteArray many;
        for (int i = 0; i < 100; ++i)
            many += "250-ligne " + QByteArray::number(i) + "\r\n";
        server.send(many);
        QTRY_COMPARE(shownRows(m_server).mid(1), textList({"220 prêt", " ", " "})
                                                     + QString::fromLatin1(many).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts));
        QCOMPARE(shownRows(m_client).mid(1), textList({" ", "EHLO été", "MAIL FROM:<a@b>"}) + QStringList(100, QStringLiteral(" ")));
        QCOMPARE(shown(m_client, 0), shown(m_server, 0));
        QVERIFY2(shown(m_client, 0).endsWith(QStringLiteral("\u2192 127.0.0.1:%1 \u2014").arg(server.serverPort())),
                 qPrintable(shown(m_client, 0)));
        // One client at a time: no list, no numbers, the count of the one session.
        QVERIFY(!control("lstSessions")->isVisible() && !control("gutterSessions")->isVisible());
        QCOMPARE(m_client->viewport()->x(), m_server->viewport()->x());
        QVERIFY(control<QLabel>("lblDebit")->text().startsWith(QStringLiteral("client → serveur")));
        const QByteArray longLine(70000, 'z');
        server.send(longLine + "\r\n");
        client.send("QUIT");
        QVERIFY(server.waitForReceived(31));
        client.close();
        QTRY_VERIFY(m_conv->rowCount() == 108 && m_conv->isMarker(107)); // the end's mark
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        QTemporaryDir dir;
        const QString capture = dir.filePath(QStringLiteral("c.pcap"));
        TcpStream stream;
        QVERIFY(m_window->exportPcap(capture) && followStream(capture, 0, &stream));
        QCOMPARE(stream.fromClient, QByteArray("EHLO \xe9t\xe9\r\nMAIL FROM:<a@b>\r\nQUIT"));
        QCOMPARE(stream.fromServer, "220 pr\xc3\xaat\r\n" + many + longLine + "\r\n");
    }

    // Three clients at once: each session is listed, newest last, and chosen
    // in the list it fills the panes alone, as the transcript writes it; a new
    // session takes neither the selection nor the panes' place. A reset is
    // marked in the list, drawn apart, and the status line names its
    // session. "Toutes" numbers every row; Stop ends all still open. Saved and opened again, the
    // sessions are listed as they ended.
    void severalClientsAreListedAndEachIsShownAlone()
    {
        LineEchoServer server;
        const quint16 port = LoopbackPeer::unusedPort();
        openWith({QStringLiteral("--listen"), QString::number(port), QStringLiteral("--server"),
                  QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), QStringLiteral("--clients"), QStringLiteral(" 3"),
                  QStringLiteral("--start")});
        auto *list = control<SessionList>("lstSessions");
        QWidget *gutter = control("gutterSessions");
        const QAbstractItemModel *listed = list->model();
        const auto cell = [listed](int row, int column) { return listed->index(row, column).data().toString(); };
        QTRY_COMPARE(m_window->relay().listeningPort(), port);
        QCOMPARE(control<QLineEdit>("txtClients")->text(), QStringLiteral(" 3")); // as typed
        QVERIFY(list->isVisible() && !gutter->isVisible() && list->geometry().right() < m_client->geometry().left());
        LoopbackPeer clients[3];
        for (int k = 0; k < 2; ++k) { // one after the other: numbered as they come
            clients[k].connectTo(port);
            QVERIFY(clients[k].waitForReceived(7));
            clients[k].send("EHLO " + QByteArray::number(k + 1) + "\r\n");
            QVERIFY(clients[k].waitForReceived(19));
        }
        QTRY_COMPARE(cell(2, SessionTable::ServerBytesColumn), QStringLiteral("19")); // "220 2" and "re: EHLO 2"
        for (int k = 0; k < 2; ++k)
            QCOMPARE(QStringList({cell(k + 1, 0), cell(k + 1, 1), cell(k + 1, 3), cell(k + 1, 4)}),
                     QStringList({QString::number(k + 1), QStringLiteral("127.0.0.1:%1").arg(clients[k].socket()->localPort()),
                                  QStringLiteral("en cours"), QStringLiteral("8")}));
        QCOMPARE(cell(0, 0), QStringLiteral("Toutes"));
        QTRY_VERIFY(control<QLabel>("lblDebit")->text().startsWith(QStringLiteral("2 sessions · client → serveur 16 o")));
        QVERIFY(gutter->isVisible() && m_client->viewport()->x() > m_server->viewport()->x());
        waitShown();
        Recorder numbers;
        gutter->render(&numbers);
        QStringList drawn;
        for (const Drawing::Text &t : numbers.engine.drawing.texts)
            drawn.append(t.text);
        QVERIFY2(drawn.contains(QStringLiteral("#1")) && drawn.contains(QStringLiteral("#2")), qPrintable(drawn.join(u',')));

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(listed->index(2, 1)).center());
        QCOMPARE(m_conv->shownSession(), 2);
        QVERIFY(!gutter->isVisible());
        const QStringList second = textList({"220 2", " ", "re: EHLO 2"});
        QTRY_COMPARE(shownRows(m_server).mid(1), second);
        clients[0].send("late\r\n"); // another session's rows stay out
        clients[2].connectTo(port);
        QVERIFY(clients[2].waitForReceived(7) && clients[0].waitForReceived(29));
        QTRY_COMPARE(listed->rowCount(), 4);
        QCOMPARE(list->selectionModel()->selectedRows().value(0).row(), 2);
        QCOMPARE(list->verticalScrollBar()->value(), 0);
        QCOMPARE(m_client->firstVisibleRow(), 0);
        QCOMPARE(shownRows(m_server).mid(1), second);

        clients[1].reset();
        QTRY_VERIFY(listed->index(2, 0).data(SessionTable::FailedRole).toBool());
        QCOMPARE(cell(2, 3), QStringLiteral("réinitialisée par le client"));
        QVERIFY2(failure().contains(QStringLiteral("#2 ")), qPrintable(failure()));
        QVERIFY(m_window->eventHistory().at(m_window->eventHistory().count() - 1).text.startsWith(QStringLiteral("#2 ")));
        QVERIFY(!listed->index(1, 0).data(SessionTable::FailedRole).toBool());
        QTRY_VERIFY(m_conv->isMarker(m_conv->rowCount() - 1)); // its end, in its own rows
        m_client->setFocus();
        m_window->copyRows();
        const QStringList copied = QGuiApplication::clipboard()->text().split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(copied.size(), m_conv->rowCount());
        for (const QString &line : copied)
            QVERIFY2(line.mid(13).startsWith(QStringLiteral("#2 ")), qPrintable(line));

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(listed->index(0, 0)).center());
        QCOMPARE(m_conv->shownSession(), 0);
        QVERIFY(gutter->isVisible());
        const auto ink = [&](int row) { // of the session's number, its row not selected
            Recorder recorder;
            list->viewport()->render(&recorder, QPoint(), QRegion(list->visualRect(listed->index(row, 0))), QWidget::RenderFlags());
            return recorder.engine.drawing.texts.value(0).colour;
        };
        QVERIFY(ink(2) != ink(1) && contrast(ink(2), list->palette().color(QPalette::Base)) >= 4.5);
        m_window->findChild<QPushButton *>(QStringLiteral("cmdStop"))->click(); // ends both sessions still open
        QTRY_COMPARE(cell(1, 3) + cell(3, 3), QStringLiteral("relais arrêté").repeated(2));

        QTemporaryDir dir;
        const QString saved = dir.filePath(QStringLiteral("t.txt"));
        QVERIFY(m_window->saveConversation(saved));
        m_conv->clear();
        QVERIFY(m_window->openConversation(saved));
        QTRY_COMPARE(listed->rowCount(), 4);
        QVERIFY(list->isVisible() && listed->index(2, 0).data(SessionTable::FailedRole).toBool());
        QCOMPARE(QStringList({cell(1, 3), cell(2, 3), cell(3, 3), cell(1, 4)}),
                 QStringList({QStringLiteral("relais arrêté"), QStringLiteral("réinitialisée par le client"),
                              QStringLiteral("relais arrêté"), QStringLiteral("14")}));
    }

    // Either kind of clear, a double-click or "Ecouter", can be undone, rows
    // captured since the clear staying after the ones brought back.
    void undoBringsBackEveryClearedRowBeforeTheNewOnes()
    {
        addKnownRows();
        addTwoSessions();
        const int rows = m_conv->rowCount();
        const QByteArray before = m_conv->transcript(0, rows);
        auto *cleared = control<QLabel>("lblEffacement");
        const QString clearedText = QStringLiteral("%1 lignes effacées — Ctrl+Z pour les rétablir").arg(rows);
        QTest::mouseDClick(m_server->viewport(), Qt::LeftButton);
        QCOMPARE(m_conv->rowCount(), 0);
        QVERIFY(cleared->isVisible());
        QCOMPARE(cleared->text(), clearedText);
        QTest::keyClick(m_client, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(m_conv->transcript(0, m_conv->rowCount()), before);
        QVERIFY(!cleared->isVisible());

        fillFields(LoopbackPeer::unusedPort());
        control("txtPortServeur")->setFocus();
        QTest::keyClick(control("txtPortServeur"), Qt::Key_Return); // Return in a field: "Ecouter"
        expectState(true);
        QTRY_COMPARE(m_conv->rowCount(), 0);
        QCOMPARE(cleared->text(), clearedText);
        add(Side::Client, {"after"}, T0 + 9000);
        QTest::mouseClick(cleared, Qt::LeftButton);
        QTRY_COMPARE(m_conv->rowCount(), rows + 1);
        QCOMPARE(m_conv->transcript(0, rows), before);
        QCOMPARE(m_conv->text(rows, Side::Client), QStringLiteral("after"));
        QVERIFY(!m_window->undoClear()); // once only
    }

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

    // Ctrl+C copies rows as the transcript writes them: the rows selected,
    // by mouse or keys in either pane, else all of them.
    void copyTakesTheSelectedRowsOrEverything()
    {
        addKnownRows();
        const auto copyIn = [](QWidget *widget) {
            widget->setFocus();
            QGuiApplication::clipboard()->clear();
            QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
            return QGuiApplication::clipboard()->text();
        };
        const auto lines = [this](const Rows &rows) {
            QByteArray text;
            for (int row : rows)
                text += m_conv->transcript(row, 1);
            return QString::fromUtf8(text);
        };
        // Row 2 is a client line, an alignment row in the server's pane: still the row copied.
        waitShown();
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, {}, rowCentre(m_server, 2));
        QCOMPARE(copyIn(m_server), QStringLiteral("14:03:22.430 C: tab\there\\x1b[0m\n"));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, Qt::ShiftModifier, rowCentre(m_client, 0));
        QTest::mouseClick(m_server->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(m_server, 1));
        QCOMPARE(copyIn(m_client), lines({0, 2}));
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, rowCentre(m_client, 3));
        QTest::keyClick(m_client, Qt::Key_Up, Qt::ShiftModifier);
        QTest::keyClick(m_client, Qt::Key_Up, Qt::ShiftModifier);
        QCOMPARE(m_server->selectedRows(), (Rows{1, 2, 3}));
        QCOMPARE(copyIn(m_server), lines({1, 2, 3}));
        // A click below the rows leaves none selected: all of it (how the
        // transcript escapes is the console's and the reader's suites').
        QTest::mouseClick(m_client->viewport(), Qt::LeftButton, {}, QPoint(10, m_client->viewport()->height() - 5));
        QCOMPARE(copyIn(m_client), QString::fromUtf8(m_conv->transcript(0, m_conv->rowCount())));
        // Each row's tooltip, in both panes, tells its time and the gap since the row before.
        for (int column : {0, 1})
            QCOMPARE(m_conv->index(3, column).data(Qt::ToolTipRole).toString(), QStringLiteral("14:03:23.680 (+1,250 s)"));
    }

    // Any bytes, marks, sides and times survive a save and an open from the
    // command line, and the file shown is read-only until "Ecouter". Saved and
    // exported files replace an older one, longer and readable by all, with
    // one for the owner only; a failure says why, in French, and changes nothing.
    // The export holds each session between its marks as one TCP stream
    // between the marks' endpoints, its rows each ended by CR LF as sent.
    void savedAndExportedFilesKeepEveryByteForTheOwnerOnly()
    {
        addKnownRows();
        addTwoSessions();
        add(Side::Server, {"250 ok"}, T0 + 7200, true); // through TLS: the file does not tell it apart
        const int rows = m_conv->rowCount();
        const QByteArray saved = m_conv->transcript(0, rows);
        QTemporaryDir dir;
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        const QString absent = dir.filePath(QStringLiteral("absent/conversation.txt"));
        QVERIFY(!m_window->saveConversation(absent));
        const QString lead = QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: ").arg(absent);
        QVERIFY2(boxedMessage(reported) == lead + QStringLiteral("fichier ou dossier introuvable (ENOENT)"),
                 qPrintable(reported.value(0).value(0).toString()));
        QVERIFY(QDir(dir.path()).isEmpty());
        reported.clear();

        // The capture's name is a link planted towards another file: the link
        // itself is replaced, its target never opened.
        const QString kept = dir.filePath(QStringLiteral("<b>conversation.txt")), capture = dir.filePath(QStringLiteral("c.pcap"));
        const QString target = dir.filePath(QStringLiteral("target"));
        const QFileDevice::Permissions wide = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther;
        for (const QString &path : {kept, target}) {
            QFile older(path);
            QVERIFY(older.open(QIODevice::WriteOnly) && older.write(QByteArray(64 * 1024, 'x')) == 64 * 1024
                    && older.setPermissions(wide));
        }
        QVERIFY(QFile::link(target, capture));
        QVERIFY(m_window->saveConversation(kept) && m_window->exportPcap(capture));
        for (const QString &path : {kept, capture})
            QCOMPARE(QFileInfo(path).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(!QFileInfo(capture).isSymLink());
        QCOMPARE(QFileInfo(target).size(), 64 * 1024);
        QCOMPARE(QFile::permissions(target) & 0x7077, wide);
        QVERIFY(!QDir(dir.path()).entryList(QDir::Files).join(QLatin1Char(' ')).contains(QLatin1String(".pcap.")));
        m_conv->clear();
        openWith({QStringLiteral("--open"), kept});
        QTRY_COMPARE(m_conv->rowCount(), rows);
        QVERIFY(m_window->windowTitle().contains(QStringLiteral("lecture seule")));
        QCOMPARE(shownText(control<QLabel>("lblEvenement")), status());
        QTest::mouseDClick(m_client->viewport(), Qt::LeftButton);
        QCOMPARE(m_conv->rowCount(), rows); // read-only: a double-click clears nothing

        QFile bad(dir.filePath(QStringLiteral("<b>bad.txt")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("14:03:22.418 S: 220 ok\n14:03:22.430 -- mark\n14:03:22.431 X: what\n");
        bad.close();
        QVERIFY(!m_window->openConversation(bad.fileName()));
        const QString message = reported.value(0).value(0).toString();
        QVERIFY2(message.contains(QStringLiteral("bad.txt")) && message.contains(QStringLiteral("ligne 3\u00a0:")),
                 qPrintable(message));
        const auto boxes = m_window->findChildren<QMessageBox *>(QStringLiteral("msgErreur"));
        QCOMPARE(shownText(boxes.last()->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))), message);
        QCOMPARE(m_conv->transcript(0, m_conv->rowCount()), saved); // read back whole, and left so

        // A last line cut short (a console killed): the lines before it open,
        // and the window says which line was left out.
        QFile cut(dir.filePath(QStringLiteral("cut.txt")));
        QVERIFY(cut.open(QIODevice::WriteOnly) && cut.write("14:03:22.418 S: 220 ok\n14:03:22.419 C: a\\x4") > 0);
        cut.close();
        reported.clear();
        QVERIFY(m_window->openConversation(cut.fileName()));
        QCOMPARE(m_conv->transcript(0, m_conv->rowCount()), QByteArray("14:03:22.418 S: 220 ok\n"));
        QVERIFY2(reported.count() == 1 && reported[0][0].toString().contains(QStringLiteral("la dernière ligne (ligne 2) est coupée")),
                 qPrintable(reported.value(0).value(0).toString()));

        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        TcpStream stream;
        QVERIFY(followStream(capture, 0, &stream)); // the rows before the first mark make a session of their own
        QCOMPARE(stream.fromServer, QByteArray("220 pr\xc3\xaat\r\n\xe9t\xe9\r\n"));
        QCOMPARE(stream.fromClient, QByteArray("EHLO a\\b\r\ntab\there\x1b[0m\r\n"));
        QVERIFY(followStream(capture, 2, &stream));
        QCOMPARE(stream.clientNode + QLatin1Char(' ') + stream.serverNode, QStringLiteral("[::1]:40114 [::1]:2525"));
        QCOMPARE(stream.fromClient, everyByte() + "\r\n\xc3\xa9t\xc3\xa9\r\n\xe9t\xe9\r\n\r\n");
        QVERIFY(stream.fromServer.isEmpty());
    }

    // A full disk is named in the user's words on save and on export, and
    // leaves no half-written file.
    void aFullDiskIsNamedOnSaveAndExport()
    {
        addKnownRows();
        QTemporaryDir dir;
        if (QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                        QStringLiteral("size=64k"), QStringLiteral("tmpfs"), dir.path()}) != 0)
            QSKIP("a small tmpfs cannot be mounted here (needs root)");
        const auto unmount = qScopeGuard([&dir] { QProcess::execute(QStringLiteral("umount"), {dir.path()}); });
        QFile filler(dir.filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        for (int i = 0; i < 64 && filler.write(QByteArray(4096, 'f')) == 4096; ++i) {
        }
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QVERIFY(!m_window->saveConversation(dir.filePath(QStringLiteral("c.txt"))));
        QVERIFY(!m_window->exportPcap(dir.filePath(QStringLiteral("c.pcap"))));
        QCOMPARE(reported.count(), 2);
        for (const QList<QVariant> &report : std::as_const(reported))
            QVERIFY2(report.value(0).toString().endsWith(QStringLiteral("\u00a0: plus de place sur le disque (ENOSPC)")),
                     qPrintable(report.value(0).toString()));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("filler")});
    }

    // A file opened comes back exact when saved, marks whose bytes are not
    // UTF-8 included; the rows between a TLS mark and the session's end get
    // their padlocks again; a mark of megabytes is handed to the panes, its
    // tooltip and its details only as far as they can show it.
    void anOpenedFileComesBackExactWithItsPadlocksAndLongMarksShownCut()
    {
        const QByteArray longMark(2 << 20, 'm');
        const QByteArray text = "10:00:00.000 -- 10:00:00.000 \xc2\xb7 client 127.0.0.1:40112 \xe2\x86\x92 127.0.0.1:2525\n"
                                "10:00:00.001 S: 220 ok\n10:00:00.002 -- TLS client \xc2\xb7 TLSv1.3\n"
                                "10:00:00.003 C: EHLO a\n10:00:00.004 S: 250 ok\n"
                                "10:00:00.005 -- 10:00:00.005 \xc2\xb7 ferm\xc3\xa9" "e par le client\n"
                                "10:00:00.006 -- \\xff\\xfe\n10:00:00.007 -- " + longMark + "\n10:00:00.008 C: plain\n";
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("tls.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();
        QVERIFY(m_window->openConversation(file.fileName()));
        QCOMPARE(m_conv->rowCount(), 9);
        QVERIFY(m_conv->index(3, 0).data(Conversation::EncryptedRole).toBool() && !m_conv->index(8, 0).data(Conversation::EncryptedRole).toBool());
        const QModelIndex mark = m_conv->index(7, 0);
        QVERIFY(mark.data(Conversation::ShownTextRole).toString().size() <= Conversation::ShownChars + 1);
        QVERIFY(mark.data(Qt::ToolTipRole).toString().size() <= Conversation::ShownChars + 1);
        waitShown();
        RowDetailsDialog *details = openDetails(m_client, 7, true);
        QVERIFY(details && details->findChild<QLabel *>(QStringLiteral("lblLongueur"))->text().contains(QStringLiteral("premiers")));
        delete details;
        const QString saved = dir.filePath(QStringLiteral("saved.txt"));
        QVERIFY(m_window->saveConversation(saved));
        QFile back(saved);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), text);
    }

    // A FIFO or a file over the limit is refused at once, saying why; an open
    // or an export cancelled from its progress dialog leaves the panes as they
    // were and no file behind.
    void onlyOrdinaryFilesOpenAndCancelledWorkLeavesNothingHalfDone()
    {
        addKnownRows();
        const QByteArray before = m_conv->transcript(0, m_conv->rowCount());
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("fifo.txt")), huge = dir.filePath(QStringLiteral("huge.txt"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QFile big(huge);
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64{1} << 31)); // sparse
        big.close();
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QVERIFY(!m_window->openConversation(fifo) && !m_window->openConversation(huge));
        QCOMPARE(reported.count(), 2);
        QVERIFY(reported[0][0].toString().contains(QStringLiteral("tube nommé")));
        QVERIFY(reported[1][0].toString().contains(QStringLiteral("(1\u202f024 Mio) que Dravlin ouvre au plus")));

        QTimer canceller; // cancels once the first slice is done
        connect(&canceller, &QTimer::timeout, this, [this] {
            auto *progress = m_window->findChild<QProgressDialog *>(QStringLiteral("dlgProgression"));
            if (progress && progress->value() >= 1)
                progress->findChild<QPushButton *>()->click();
        });
        QFile large(dir.filePath(QStringLiteral("large.txt")));
        QVERIFY(large.open(QIODevice::WriteOnly));
        for (int i = 0; i < 50000; ++i)
            large.write("14:00:00.000 C: " + QByteArray(64, 'x') + '\n');
        large.close();
        canceller.start(0);
        QVERIFY(!m_window->openConversation(large.fileName()));
        QCOMPARE(m_conv->transcript(0, m_conv->rowCount()), before);
        add(Side::Client, QList<QByteArray>(10000, "row"), T0 + 2000);
        const QString capture = dir.filePath(QStringLiteral("c.pcap"));
        QVERIFY(!m_window->exportPcap(capture));
        canceller.stop();
        QCOMPARE(reported.count(), 2);
        QVERIFY(!QFile::exists(capture));
        QVERIFY(m_window->exportPcap(capture));
    }

    // The boxes reach the relay; each handshake leaves one mark, whose tooltip
    // details it, and the rows after it are flagged as decrypted.
    void tlsBoxesReachTheRelayAndEachHandshakeIsMarked()
    {
        QTemporaryDir home;
        CertificateAuthority serverCa(home.filePath(QStringLiteral("server-ca")));
        QVERIFY(serverCa.ensure().isNone());
        FakeServer server(serverCa, {});
        RelaySettings::Tls tls;
        tls.caDirectory = home.filePath(QStringLiteral("dravlin"));
        m_window->setTlsSettings(tls);
        control<QCheckBox>("chkTls")->click();
        control<QCheckBox>("chkTlsInsecure")->click(); // the server's CA is known to nobody
        fillFields(server.listener.serverPort());
        m_window->clickStart();
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        // While relaying, no file is opened over the live rows; the client is
        // given to trust the CA certificate the window exports.
        QSignalSpy reported(m_window, &MainWindow::errorReported);
        QVERIFY(!m_window->openConversation(home.filePath(QStringLiteral("any.txt"))));
        QVERIFY(boxedMessage(reported).contains(QStringLiteral("avant d'ouvrir une conversation")));
        const QString exported = home.filePath(QStringLiteral("exported.crt"));
        QVERIFY(m_window->exportCaCertificate(exported));
        QVERIFY(status().contains(QDir::toNativeSeparators(exported)));
        QByteArray heard;
        const QString failed = StartTlsClient::converse(m_window->relay().listeningPort(), exported, &heard);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QTRY_COMPARE(m_conv->text(m_conv->rowCount() - 1, Side::Server), QStringLiteral("221 bye"));
        QStringList tips;
        for (int row = 0; row < m_conv->rowCount(); ++row)
            if (m_conv->isMarker(row) && m_conv->markerText(row).startsWith(QLatin1String("TLS ")))
                tips.append(m_conv->index(row, 1).data(Qt::ToolTipRole).toString());
        QCOMPARE(tips.size(), 2);
        QVERIFY2(tips.filter(QStringLiteral("TLS serveur")).value(0).contains(QStringLiteral("\ncertificat NON vérifié (")),
                 qPrintable(tips.join(QLatin1Char('\n'))));
        QVERIFY(m_conv->isEncrypted(m_conv->rowCount() - 1));
    }

    // The window goes at once; the program lives on until what was read from
    // the client has reached a server slow to read it.
    void closingDeliversWhatWasReadBeforeTheProgramEnds()
    {
        RawPeer server;
        RawPeer::Script slow;
        slow.receiveBuffer = 32 * 1024;
        slow.readStep = 256 * 1024;
        slow.pauseMs = 20;
        slow.readOnRelease = true;
        server.serve(slow);
        m_window->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.listenPort()});
        QTRY_VERIFY(m_window->relay().listeningPort() != 0);
        QSignalSpy finished(&m_window->relay(), &Relay::finished);
        qint64 read = 0;
        connect(&m_window->relay(), &Relay::bytesRelayed, this, [&read](Side side, const QByteArray &bytes) {
            read += side == Side::Client ? bytes.size() : 0;
        });
        LoopbackPeer client;
        client.connectTo(m_window->relay().listeningPort());
        QByteArray request; // less than the relay queues before it stops reading the client
        while (request.size() < Relay::SendQueueBound * 3 / 4)
            request += "RCPT TO:<destinataire" + QByteArray::number(request.size()) + "@exemple.org>\r\n";
        client.send(request);
        // Read, and still queued here or in the kernel: the server has taken nothing.
        QTRY_VERIFY_WITH_TIMEOUT(read == request.size(), 10000);

        QTimer::singleShot(0, m_window, &QWidget::close);
        QTimer::singleShot(0, m_window, [&server] { server.release(); });
        QTimer::singleShot(15000, qApp, &QCoreApplication::quit); // in case nothing ends it
        QApplication::exec();
        QCOMPARE(finished.count(), 1); // else the timer ended it
        QCOMPARE(finished[0], (QVariantList{qint64(0), qint64(0)})); // nothing owed left behind
        QVERIFY(server.waitDone());
        QVERIFY(server.cleanEnd);
        QCOMPARE(server.received, request);
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
        QTest::keyClick(m_client, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(m_client->model()->rowCount(), 200);
        QCOMPARE(m_client->currentIndex().row(), 199);
        QCOMPARE(handOvers.count(), 2);
        add(Side::Client, {"late"});
        m_conv->clear(); // a clear drops what was held back, at once
        QCOMPARE(m_client->model()->rowCount(), 0);
        add(Side::Client, {"after"});
        QTRY_COMPARE(shownRows(m_client), QStringList{QStringLiteral("after")});
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

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
