#include "EndpointText.h"
// The window and the helpers its suites share: each suite builds the window
// afresh for each test through its front end, so options can be given as on
// the command line.
#pragma once

#include "CertificateAuthority.h"
#include "CommandLine.h"
#include "ConfigurationPanel.h"
#include "ControlBytes.h"
#include "ConversationSearch.h"
#include "EventHistory.h"
#include "EventHistoryDialog.h"
#include "FakeServer.h"
#include "LineEchoServer.h"
#include "LoopbackPeer.h"
#include "PaneView.h"
#include "RawPeer.h"
#include "RelaySession.h"
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


// 14:03:22.418 local time, when the greeting of the known rows arrives.
inline const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();

// The settings, disabled while the relay runs: the four fields first.
inline const char *const Fields[] = {"txtPortClient", "txtAdresseServeur", "txtPortServeur", "txtClients", "chkTls", "chkTlsInsecure"};

inline QModelIndex paneIndex(const PaneView *pane, int row) { return pane->model()->index(row, pane->modelColumn()); }
inline QString shown(const PaneView *pane, int row) { return paneIndex(pane, row).data().toString(); }
inline QPoint rowCentre(const PaneView *pane, int row) { return pane->visualRect(paneIndex(pane, row)).center(); }

// Every row a pane shows, top to bottom.
inline QStringList shownRows(const PaneView *pane)
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
inline qreal contrast(const QColor &a, const QColor &b)
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
inline Drawing drawingOf(PaneView *pane, int row)
{
    Recorder recorder;
    const QRect rect = pane->visualRect(paneIndex(pane, row));
    pane->viewport()->render(&recorder, QPoint(), QRegion(rect), QWidget::RenderFlags());
    return recorder.engine.drawing;
}


// Derived from by each window suite, beside QObject: setUp() in its init(),
// tearDown() in its cleanup().
struct WindowFixture {
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
    // Each of the status line's two labels shows its whole text, or words of it up to
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

    // The relay the window drives: the one place suites reach it.
    const Monitor &monitor() { return m_window->monitor(); }
    void setUp()
    {
        QStandardPaths::setTestModeEnabled(true); // the settings of a test user
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
    void tearDown() { m_front.reset(); }
};
