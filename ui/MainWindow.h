#ifndef DRAVLIN_MAINWINDOW_H
#define DRAVLIN_MAINWINDOW_H

#include "Conversation.h"
#include "ConversationCapture.h"
#include "EventHistory.h"
#include "Relay.h"
#include "TwipScale.h"

#include <QKeySequence>
#include <QMainWindow>
#include <QPointer>

#include <memory>

class ConversationSearch;
class EventHistoryDialog;
class FindBar;
class PaneView;
class QAction;
class QCheckBox;
class QDateTime;
class QEventLoopLocker;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TrafficPanes;
#include "RelaySettings.h"

// frmMain, the program's window: the configuration fields, the start and stop
// buttons, the status panel and the two traffic panes, placed as designed in
// twips. It turns clicks into the relay's start, stop and shutdown; the status
// panel and the buttons follow the user's clicks only, while the status line
// under the panes shows the relay's last event.
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
    void setFieldTexts(const QString &listenPort, const QString &serverHost,
                       const QString &serverPort);
    // Ticks the TLS boxes as given; the bridge, the CA's folder and extra
    // trusted certificates have no control and are kept as they are.
    void setTlsSettings(const RelaySettings::Tls &tls);
    // What the next "Ecouter" asks of TLS: the settings given, as the boxes say.
    RelaySettings::Tls tlsSettings() const;
    // Writes the CA certificate (PEM), making the CA first if there is none;
    // a message box says why on failure.
    bool exportCaCertificate(const QString &path);
    // What a click on "Ecouter" does; nothing while the button is disabled.
    void clickStart();
    // Starts from settings already checked, then shows the started state. A
    // listen port of 0 lets the system pick one (read it from relay()).
    void start(const RelaySettings &settings);

    // Writes the whole conversation as a stamped transcript in UTF-8. Either
    // the file gets all of it or it is left as it was, and a message box says
    // why; the panes are never touched.
    bool saveConversation(const QString &path);
    // Puts on the clipboard the rows selected in the panes, from the pane that
    // has the focus, or the whole conversation when no row is selected.
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
    FindBar *findBar() { return m_findBar; }

    // Brings back the rows the last clear took, as Ctrl+Z does.
    bool undoClear();
    // Opens the list of the last events, as a click on the status line does.
    void showEventHistory();
    const EventHistory &eventHistory() const { return m_history; }

    Conversation *conversation() { return &m_conversation; }
    const Relay &relay() const { return m_relay; }
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
    void onTxtPortClientTextChanged(const QString &text);
    void onRelayEventOccurred(const RelayEvent &event);
    void onRelayFinished();
    void onSaveTriggered();
    void onCopyTriggered();
    void onUndoTriggered();
    void onOpenTriggered();
    void onExportPcapTriggered();
    void onExportCaTriggered();
    void onFindTriggered();
    void onFindBarCurrentMatchChanged(int row);
    void onFindBarMatchesChanged();
    void onFindBarMatchRequested(int row);
    void onFindBarClosed();
    void onHistoryTriggered();
    void onConversationRowsCleared(int count);
    void onFieldReturnPressed();

private:
    void createControls();
    void placeControls();
    void placePanes();
    void chainTabOrder();
    void createActions();
    QAction *newAction(const QString &text, const QString &name, const QKeySequence &key = {},
                       Qt::ShortcutContext context = Qt::WindowShortcut);
    // Shows the started state once the relay has taken the settings: it
    // refuses them when TLS cannot be set up, and the event said why.
    void enterStartedIfArmed();
    void enterStarted();
    void showState(bool started);
    void reportError(const QString &message);
    void repaintPanes();
    void setShownFile(const QString &path);
    void showStatus(const QString &text, bool failure);
    // A key or a click in the window: failures shown so far are seen.
    void onUserAction(QObject *target);

    // The model outlives the relay: a relay closing down may still hand over rows.
    Conversation m_conversation;
    ConversationCapture m_capture;
    Relay m_relay;
    TwipScale m_scale;

    QWidget *m_clientArea = nullptr;
    QGroupBox *configurationBox = nullptr;
    QLabel *listenPortCaption = nullptr;
    QLineEdit *txtPortClient = nullptr;
    QLabel *serverHostCaption = nullptr;
    QLineEdit *txtAdresseServeur = nullptr;
    QLabel *serverPortCaption = nullptr;
    QLineEdit *txtPortServeur = nullptr;
    QCheckBox *chkTls = nullptr;
    QCheckBox *chkTlsInsecure = nullptr;
    QPushButton *cmdStart = nullptr;
    QPushButton *cmdStop = nullptr;
    QFrame *FrameEtat = nullptr;
    QLabel *lblEtat = nullptr;
    QLabel *clientPaneCaption = nullptr;
    QLabel *serverPaneCaption = nullptr;
    PaneView *lstClient = nullptr;
    PaneView *lstServeur = nullptr;
    QLabel *lblEvenement = nullptr;
    // The last failure, highlighted until the user's next key or click.
    QLabel *lblEchec = nullptr;
    // How many rows the last clear took, while they can be brought back.
    QLabel *lblEffacement = nullptr;
    EventHistory m_history;
    QPointer<EventHistoryDialog> m_historyDialog;
    ConversationSearch *m_search = nullptr;
    FindBar *m_findBar = nullptr;
    QAction *m_openAction = nullptr;
    QAction *m_pcapAction = nullptr;
    QAction *m_exportCaAction = nullptr;
    RelaySettings::Tls m_tls;
    QAction *m_findAction = nullptr;
    QAction *m_undoAction = nullptr;
    QAction *m_historyAction = nullptr;
    TrafficPanes *m_panes = nullptr;
    QAction *m_saveAction = nullptr;
    QAction *m_copyAction = nullptr;
    // Held from the window's close until the relay has finished delivering.
    std::unique_ptr<QEventLoopLocker> m_finishLock;
};

#endif
