#ifndef DRAVLIN_MAINWINDOW_H
#define DRAVLIN_MAINWINDOW_H

#include "ConfigurationPanel.h"
#include "Conversation.h"
#include "Monitor.h"
#include "RelaySettings.h"
#include "TwipScale.h"

#include <QKeySequence>
#include <QMainWindow>

#include <memory>

class CaCertificateExport;
class ConversationFileActions;
class EventHistory;
class FindBar;
class PaneView;
class QAction;
class QDateTime;
class QEventLoopLocker;
class QLabel;
class QMessageBox;
class QSplitter;
class ReplayController;
class SearchController;
class SessionList;
class StatusLine;
class TrafficPanes;

// frmMain, the program's window: the configuration fields, the start and stop
// buttons, the status panel and the two traffic panes, placed as designed in
// twips. It turns clicks into the relay's start, stop and shutdown; the status
// panel and the buttons follow the user's clicks only, while the status line
// under the panes shows the relay's last event. The configuration row, the
// status line, the find bar's wiring and the file actions are parts of their
// own; the window lays them out and wires them to its actions and the relay.
//
// Controls carry their design names as object names, so they can be found
// with findChild().
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The client area at the design size, in twips.
    static constexpr int DesignWidthTwips = 12405;
    static constexpr int DesignHeightTwips = 9915;
    // How much narrower than designed the configuration row may be drawn.
    static constexpr qreal MinSqueeze = 0.72;
    // Where the panes' captions start, and the least the panes keep.
    static constexpr int PanesTopTwips = 1200;
    static constexpr int MinPanesHeightTwips = 1800;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Fills the fields as if typed; the server port last, since typing the
    // local port mirrors into it.
    void setFieldTexts(const QString &listenPort, const QString &serverHost, const QString &serverPort)
    {
        m_configuration->setFieldTexts(listenPort, serverHost, serverPort);
    }
    // Ticks the TLS boxes as given; the bridge, the CA's folder and extra
    // trusted certificates have no control and are kept as they are.
    void setTlsSettings(const RelaySettings::Tls &tls);
    // Writes the CA certificate (PEM), making the CA first if there is none;
    // a message box says why on failure.
    bool exportCaCertificate(const QString &path);
    // What a click on "Ecouter" does; nothing while the button is disabled.
    void clickStart() { m_configuration->clickStart(); }
    // Starts from settings already checked, then shows the started state. A
    // listen port of 0 lets the system pick one (read it from monitor()).
    void start(const RelaySettings &settings);

    // Writes the whole conversation as a stamped transcript in UTF-8. Either
    // the file gets all of it or it is left as it was, and a message box says
    // why; the panes are never touched.
    bool saveConversation(const QString &path);
    // Puts on the clipboard the rows selected, from the pane that has the
    // focus, or the whole conversation when no row is selected.
    void copyRows();
    // What the save dialog offers, e.g. "conversation-2026-12-06-201530.txt".
    static QString suggestedFileName(const QDateTime &when);

    // Shows a saved conversation, read-only until the next "Ecouter". A file
    // that cannot be read or is not a conversation leaves the panes as they
    // were, and a message box names the line at fault.
    bool openConversation(const QString &path);
    // Writes the conversation as a pcap capture; as saveConversation() on failure.
    bool exportPcap(const QString &path);
    // Opens the find bar over the panes, as Ctrl+F does.
    void openFindBar();
    FindBar *findBar();

    // Brings back the rows the newest clear kept took, as Ctrl+Z does; again
    // for the clear before it.
    bool undoClear();
    // Opens the list of the last events, as a click on the status line does.
    void showEventHistory();
    const EventHistory &eventHistory() const;

    Conversation *conversation() { return &m_conversation; }
    ConfigurationPanel *configuration() { return m_configuration; }
    SessionList *sessions() { return m_sessions; }
    ReplayController *replays() { return m_replay; }
    const Monitor &monitor() const { return m_monitor; }
    QSize designClientSize() const;

Q_SIGNALS:
    // Every message shown in a message box, when it is shown.
    void errorReported(const QString &message);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private Q_SLOTS:
    void onCmdStartClicked();
    void onCmdStopClicked();
    void onRelayEventOccurred(const RelayEvent &event);
    void onRelayFinished();
    QMessageBox *reportError(const QString &message);
    void setShownFile(const QString &path);
    // A history event chosen: its session shown, its row selected.
    void showEventRows(int session, qint64 msecs);

private:
    void createControls();
    void placeControls();
    void placePanes();
    void chainTabOrder();
    void createActions();
    void wireParts();
    QAction *newAction(const QString &text, const QString &name, const QKeySequence &key = {},
                       Qt::ShortcutContext context = Qt::WindowShortcut);
    // Shows the started state once the relay has taken the settings: it
    // refuses them when TLS cannot be set up, and the event said why.
    void enterStartedIfArmed();
    void showState(bool started);

    // The model outlives the pipeline: a relay closing down may still store rows.
    Conversation m_conversation;
    Monitor m_monitor;
    TwipScale m_scale;

    QWidget *m_clientArea = nullptr;
    ConfigurationPanel *m_configuration = nullptr;
    QLabel *clientPaneCaption = nullptr;
    QLabel *serverPaneCaption = nullptr;
    PaneView *lstClient = nullptr;
    PaneView *lstServeur = nullptr;
    StatusLine *m_status = nullptr;
    SearchController *m_search = nullptr;
    SessionList *m_sessions = nullptr;
    QSplitter *m_split = nullptr;
    // The list's width with the gap after it, as the user dragged it; 0 until then.
    int m_listWidth = 0;
    ConversationFileActions *m_files = nullptr;
    CaCertificateExport *m_caExport = nullptr;
    TrafficPanes *m_panes = nullptr;
    ReplayController *m_replay = nullptr;
    // From a click on "Ecouter" until the port is had or refused.
    bool m_clearOnListening = false;
    // Where the rows of the run just started begin, among those held.
    int m_runStart = 0;
    // Held from the window's close until the relay has finished delivering.
    std::unique_ptr<QEventLoopLocker> m_finishLock;
};

#endif
