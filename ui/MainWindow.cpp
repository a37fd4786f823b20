#include "MainWindow.h"

#include "CaCertificateExport.h"
#include "ConfigurationPanel.h"
#include "ConversationFileActions.h"
#include "EventText.h"
#include "FindBar.h"
#include "PaneView.h"
#include "ReplayController.h"
#include "RowDelegate.h"
#include "SearchController.h"
#include "SessionList.h"
#include "SessionMarks.h"
#include "SessionTable.h"
#include "StatusLine.h"
#include "TrafficPanes.h"
#include "UserActivityFilter.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QSettings>
#include <QEventLoopLocker>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QtMath>

#include <algorithm>
#include <utility>

namespace {

QString designTitle() { return QCoreApplication::translate("MainWindow", "Dravlin - par l'équipe Dravlin"); }

QLabel *makePaneCaption(const QString &name, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_scale(logicalDpiX(), logicalDpiY())
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(designTitle());
    // The design's sizes were drawn for the classic 8.25 pt sans serif, of
    // Arial's metrics; in a wider face the captions would be cut off.
    QFont designFont = font();
    designFont.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                            designFont.family()});
    designFont.setPointSizeF(8.25);
    setFont(designFont);
    // Dialogs are windows of their own, which a window's font does not reach:
    // they take it from the application, and should read as the window does.
    QApplication::setFont(designFont, "QDialog");
    QApplication::setFont(designFont, "QMessageBox");

    createControls();
    placeControls();
    chainTabOrder();
    m_panes = new TrafficPanes(&m_conversation, lstClient, lstServeur, this);
    m_files = new ConversationFileActions(&m_conversation, this);
    m_caExport = new CaCertificateExport(this);
    createActions();
    wireParts();
    showState(false);

    // Opens at the design size, or the screen's if smaller (a small screen, a
    // large scale factor), and may be made smaller still.
    m_clientArea->setMinimumSize(designClientSize());
    QSize opening = sizeHint().expandedTo(minimumSizeHint());
    m_clientArea->setMinimumSize(qCeil(designClientSize().width() * MinSqueeze),
                                 m_scale.y(PanesTopTwips + MinPanesHeightTwips));
    if (const QScreen *shown = screen())
        opening = opening.boundedTo(shown->availableSize());
    m_clientArea->installEventFilter(this);
    resize(opening);
    m_configuration->focusFirstField();
}

MainWindow::~MainWindow()
{
    m_relay.disconnect(this);
}

void MainWindow::wireParts()
{
    connect(m_configuration, &ConfigurationPanel::startClicked, this, &MainWindow::onCmdStartClicked);
    connect(m_configuration, &ConfigurationPanel::stopClicked, this, &MainWindow::onCmdStopClicked);
    m_capture.follow(&m_relay);
    connect(&m_capture, &ConversationCapture::rowsCaptured, &m_conversation, &Conversation::appendRows);
    connect(&m_relay, &Relay::eventOccurred, this, &MainWindow::onRelayEventOccurred);
    connect(&m_relay, &Relay::finished, this, &MainWindow::onRelayFinished);
    connect(&m_relay, &Relay::bytesRelayed, m_status, &StatusLine::countBytes);
    m_sessions->table()->follow(&m_relay);
    connect(m_sessions, &SessionList::wantedChanged, this, &MainWindow::placePanes);

    connect(&m_conversation, &Conversation::rowsCleared, m_status, &StatusLine::showCleared);
    // Queued: the click that asks is still on its way to the label.
    connect(m_status, &StatusLine::undoRequested, this, &MainWindow::undoClear, Qt::QueuedConnection);
    connect(m_status, &StatusLine::eventChosen, this, &MainWindow::showEventRows);
    connect(new UserActivityFilter(this), &UserActivityFilter::userActed, m_status, &StatusLine::onUserActed);
    connect(m_search, &SearchController::barToggled, this, &MainWindow::placePanes);
    connect(m_search->bar(), &FindBar::matchRequested, m_panes, &TrafficPanes::showRow);
    connect(m_files, &ConversationFileActions::failed, this, &MainWindow::reportError);
    connect(m_files, &ConversationFileActions::opened, this, &MainWindow::setShownFile);
    connect(m_caExport, &CaCertificateExport::failed, this, &MainWindow::reportError);
    const auto news = [this](const QString &message) { m_status->record(QDateTime::currentMSecsSinceEpoch(), message, false); };
    connect(m_files, &ConversationFileActions::written, this, news);
    connect(m_caExport, &CaCertificateExport::exported, this, news);
}

void MainWindow::createControls()
{
    m_clientArea = new QWidget(this);
    m_clientArea->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(m_clientArea);

    m_configuration = new ConfigurationPanel(m_clientArea);

    clientPaneCaption = makePaneCaption(QStringLiteral("Label1"), tr("Donnees recues du client"), m_clientArea);
    serverPaneCaption = makePaneCaption(QStringLiteral("Label2"), tr("Donnees recues du server"), m_clientArea);
    lstClient = new PaneView(m_clientArea);
    lstClient->setObjectName(QStringLiteral("lstClient"));
    lstServeur = new PaneView(m_clientArea);
    lstServeur->setObjectName(QStringLiteral("lstServeur"));
    // A reader names each pane by its caption, spelt out.
    lstClient->setAccessibleName(tr("Données reçues du client"));
    lstServeur->setAccessibleName(tr("Données reçues du serveur"));
    m_search = new SearchController(&m_conversation, lstClient, lstServeur, m_clientArea);
    // The list and the panes share their room through a splitter whose
    // handle is the gap between them; the panes are laid out over its right
    // side, which holds nothing of its own and lets clicks through.
    m_split = new QSplitter(Qt::Horizontal, m_clientArea);
    m_split->setObjectName(QStringLiteral("splitSessions"));
    m_split->setChildrenCollapsible(false);
    m_sessions = new SessionList(&m_conversation, lstClient, m_split);
    auto *panesRoom = new QWidget(m_split);
    panesRoom->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_split->addWidget(m_sessions);
    m_split->addWidget(panesRoom);
    m_split->lower();
    connect(m_split, &QSplitter::splitterMoved, this, [this](int position) {
        m_listWidth = position + m_split->handleWidth();
        placePanes();
    });
    m_status = new StatusLine(statusBar());
}

QSize MainWindow::designClientSize() const
{
    return m_scale.size(DesignWidthTwips, DesignHeightTwips);
}

void MainWindow::placeControls()
{
    // Narrower than designed, the configuration row is drawn closer together
    // (the panes have shrunk first, and shrink on); captions may then wrap.
    const qreal squeeze = std::clamp(qreal(m_clientArea->width()) / designClientSize().width(), MinSqueeze, 1.0);
    m_configuration->place(m_scale, squeeze, m_clientArea->width() - designClientSize().width());
    placePanes();
}

void MainWindow::placePanes()
{
    // The panes and their captions share any width beyond the design (or
    // any width short of it) half and half, and take all extra height (or
    // give up what is missing); the session list, when shown, takes the
    // left of their room and a third of any width beyond the design, its
    // captions level with theirs.
    const TwipScale &s = m_scale;
    const QSize extra = m_clientArea->size() - designClientSize();
    // Once the user has moved the splitter, the list keeps the width chosen
    // while the panes keep a design pane's width each.
    const int designList = s.x(SessionList::WidthTwips) + std::max(0, extra.width() / 3);
    const int most = std::max(s.x(SessionList::WidthTwips) / 2, m_clientArea->width() - 2 * s.x(3000));
    const int list = !m_sessions->isWanted() ? 0 : m_listWidth > 0 ? std::clamp(m_listWidth, s.x(1500), most) : designList;
    const int leftExtra = (extra.width() - list) / 2;
    m_split->setHandleWidth(s.x(105));
    m_split->setGeometry(s.rect(0, 1200, 12375, 8685).adjusted(0, 0, extra.width(), extra.height()));
    m_split->setSizes({list - s.x(105), std::max(1, m_split->width() - list)});
    m_split->setVisible(list > 0);
    m_sessions->setVisible(list > 0);
    clientPaneCaption->setGeometry(s.rect(0, 1200, 6135, 255).adjusted(list, 0, list + leftExtra, 0));
    serverPaneCaption->setGeometry(s.rect(6240, 1200, 6135, 255).adjusted(list + leftExtra, 0, extra.width(), 0));
    // The find bar, when open, takes the top of both panes' room.
    FindBar *findBar = m_search->bar();
    const int bar = findBar->isHidden() ? 0 : findBar->sizeHint().height();
    findBar->setGeometry(s.rect(0, 1440, 12375, 0).adjusted(list, 0, extra.width(), bar));
    lstClient->setGeometry(s.rect(0, 1440, 6135, 8445).adjusted(list, bar, list + leftExtra, extra.height()));
    lstServeur->setGeometry(s.rect(6240, 1440, 6135, 8445).adjusted(list + leftExtra, bar, extra.width(), extra.height()));
}

void MainWindow::chainTabOrder()
{
    m_configuration->chainTabOrder(m_sessions);
    setTabOrder(m_sessions, lstClient);
    setTabOrder(lstClient, lstServeur);
}

QAction *MainWindow::newAction(const QString &text, const QString &name,
                               const QKeySequence &key, Qt::ShortcutContext context)
{
    auto *action = new QAction(text, this);
    action->setObjectName(name);
    action->setShortcut(key);
    action->setShortcutContext(context);
    action->setShortcutVisibleInContextMenu(true);
    return action;
}

void MainWindow::createActions()
{
    // No menu bar: it would push the designed layout down. The actions live
    // on the window for their shortcuts and on the panes for their menus.
    QAction *save = newAction(tr("&Enregistrer…"), QStringLiteral("actEnregistrer"), QKeySequence::Save);
    connect(save, &QAction::triggered, m_files, &ConversationFileActions::chooseAndSave);
    // Only while a pane has the focus: in a field, Ctrl+C copies the field's text.
    QAction *copy = newAction(tr("C&opier"), QStringLiteral("actCopier"), QKeySequence::Copy, Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, m_panes, &TrafficPanes::copyRows);
    // Ctrl+Z in a field still undoes its typing: the field takes the key first.
    QAction *undo = newAction(tr("&Rétablir l'effacement"), QStringLiteral("actRetablir"), QKeySequence::Undo);
    connect(undo, &QAction::triggered, this, &MainWindow::undoClear);
    QAction *history = newAction(tr("&Historique"), QStringLiteral("actHistorique"), QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(history, &QAction::triggered, this, &MainWindow::showEventHistory);
    QAction *open = newAction(tr("O&uvrir…"), QStringLiteral("actOuvrir"), QKeySequence::Open);
    connect(open, &QAction::triggered, m_files, &ConversationFileActions::chooseAndOpen);
    QAction *pcap = newAction(tr("E&xporter en pcap…"), QStringLiteral("actExporterPcap"));
    connect(pcap, &QAction::triggered, m_files, &ConversationFileActions::chooseAndExportPcap);
    QAction *exportCa = newAction(tr("Exporter le certificat C&A…"), QStringLiteral("actExporterCa"));
    connect(exportCa, &QAction::triggered, m_caExport, &CaCertificateExport::chooseAndExport);
    QAction *find = newAction(tr("Re&chercher"), QStringLiteral("actRechercher"), QKeySequence::Find);
    connect(find, &QAction::triggered, this, &MainWindow::openFindBar);
    // Failures are what a reader of a long capture looks for first.
    QAction *nextFailure = newAction(tr("Échec &suivant"), QStringLiteral("actEchecSuivant"), QKeySequence(Qt::Key_F8));
    connect(nextFailure, &QAction::triggered, m_panes, [this] { m_panes->selectFailure(false); });
    QAction *previousFailure = newAction(tr("Échec &précédent"), QStringLiteral("actEchecPrecedent"),
                                         QKeySequence(Qt::SHIFT | Qt::Key_F8));
    connect(previousFailure, &QAction::triggered, m_panes, [this] { m_panes->selectFailure(true); });
    // The selected row's session alone in the panes, as a click on it in the list does.
    QAction *follow = newAction(tr("Suivre ce&tte session"), QStringLiteral("actSuivreSession"));
    connect(follow, &QAction::triggered, this, [this] {
        const QModelIndex current = lstClient->currentIndex();
        if (const int session = current.isValid() ? m_conversation.session(current.row()) : 0)
            m_sessions->showSession(session);
    });
    // Off unless the user turned it on, then as last left.
    QAction *times = newAction(tr("Aff&icher l'heure"), QStringLiteral("actHeure"));
    times->setCheckable(true);
    connect(times, &QAction::toggled, this, [this](bool on) {
        QSettings().setValue(QStringLiteral("panes/showTime"), on);
        for (PaneView *pane : {lstClient, lstServeur}) {
            static_cast<RowDelegate *>(pane->itemDelegate())->setTimesFrom(on ? &m_conversation : nullptr);
            pane->viewport()->update();
        }
    });
    times->setChecked(QSettings().value(QStringLiteral("panes/showTime"), false).toBool());
    addActions({save, undo, history, open, find, nextFailure, previousFailure});

    m_configuration->addTlsAction(exportCa);
    // Every pane action, each with its key: the menu is where they are found.
    for (PaneView *pane : {lstClient, lstServeur}) {
        QAction *details = pane->findChild<QAction *>(QStringLiteral("actDetails"));
        pane->insertActions(details, {m_panes->clearAction(), undo, find, nextFailure, previousFailure, follow});
        pane->addActions({copy, save, open, pcap, history, exportCa, times});
        pane->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    // A finished session played again against a server, as a new session.
    m_replay = new ReplayController(&m_conversation, m_sessions->table(),
                                    [this](int atLeast) { return m_relay.reserveSessionNumber(atLeast); }, this);
    m_replay->attach({lstClient, lstServeur}, m_sessions);
    connect(m_replay, &ReplayController::failed, this, &MainWindow::reportError);
    connect(m_replay, &ReplayController::noticed, m_status, [this](const QString &text) {
        m_status->record(QDateTime::currentMSecsSinceEpoch(), text, true);
    });
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_clientArea && event->type() == QEvent::Resize)
        placeControls();
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::setTlsSettings(const RelaySettings::Tls &tls)
{
    m_configuration->setTls(tls);
    m_caExport->setDirectory(tls.caDirectory);
}

void MainWindow::start(const RelaySettings &settings)
{
    m_relay.start(settings);
    enterStartedIfArmed();
}

void MainWindow::onCmdStartClicked()
{
    // The texts are checked before anything changes: on bad input the window
    // stays stopped, the panes keep their rows and the relay stays idle.
    RelaySettings settings;
    if (const auto error = m_configuration->settings(&settings)) {
        // Once the box is closed, the field at fault is ready to be typed over.
        connect(reportError(EventText::settingsError(*error, EventText::Naming::WindowFields)), &QDialog::finished,
                m_configuration, [this, field = error->field] { m_configuration->focusField(field); });
        return;
    }
    start(settings);
}

void MainWindow::enterStartedIfArmed()
{
    if (!m_relay.isArmed())
        return;
    // The panes are cleared once the port is had: a listen that fails leaves
    // what they show, a file read back included, as it was.
    m_clearOnListening = true;
    showState(true);
}

void MainWindow::onCmdStopClicked()
{
    m_relay.stop();
    showState(false);
}

void MainWindow::showState(bool started)
{
    m_configuration->showState(started);
    m_files->setRelayRunning(started);
    // Refused before any file dialog opens, and the menu says why: a menu
    // shows no tooltip, so the text does.
    if (auto *open = findChild<QAction *>(QStringLiteral("actOuvrir"), Qt::FindDirectChildrenOnly)) {
        open->setEnabled(!started);
        open->setText(started ? tr("O&uvrir… (après « Stop ! »)") : tr("O&uvrir…"));
        open->setToolTip(started ? tr("Arrêtez le relais (« Stop ! ») avant d'ouvrir une conversation.")
                                 : tr("Ouvrir une conversation enregistrée (lecture seule)"));
    }
}

void MainWindow::onRelayEventOccurred(const RelayEvent &event)
{
    if (event.kind == RelayEvent::Kind::Listening && m_clearOnListening) {
        m_clearOnListening = false;
        m_panes->clear();
        m_sessions->startRun(m_relay.settings().maxClients);
        setShownFile(QString());
    }
    if (event.kind == RelayEvent::Kind::Listening)
        m_configuration->showListening();
    if (SessionMarks::leavesMark(event) || event.kind == RelayEvent::Kind::ServerConnected)
        m_conversation.appendMark(event);
    const QString message = m_status->record(event);
    // Only a listen that failed stops the relay on its own; a peer's fault
    // (refused, reset, closed) is shown in the status line and nothing more.
    if (event.kind == RelayEvent::Kind::ListenFailed && m_configuration->isStarted()) {
        const bool atStart = std::exchange(m_clearOnListening, false);
        showState(false);
        // The port is what to change: ready to be typed over once the box is closed.
        QMessageBox *box = reportError(message);
        if (atStart)
            connect(box, &QDialog::finished, m_configuration,
                    [this] { m_configuration->focusField(RelaySettings::Error::Field::ListenPort); });
    }
    // Comes within the click on "Ecouter", which then leaves the window stopped.
    if (event.kind == RelayEvent::Kind::TlsUnavailable)
        reportError(message);
}

bool MainWindow::openConversation(const QString &path)
{
    return m_files->open(path);
}

void MainWindow::setShownFile(const QString &path)
{
    m_panes->setReadOnly(!path.isEmpty());
    if (path.isEmpty()) {
        setWindowTitle(designTitle());
        return;
    }
    m_sessions->rebuild();
    const QString name = QFileInfo(path).fileName();
    setWindowTitle(tr("%1 — %2 (lecture seule)").arg(designTitle(), name));
    m_status->showOpened(name, m_conversation.rowCount());
}

bool MainWindow::saveConversation(const QString &path)
{
    return m_files->save(path);
}

bool MainWindow::exportPcap(const QString &path)
{
    return m_files->exportPcap(path);
}

bool MainWindow::exportCaCertificate(const QString &path)
{
    return m_caExport->exportTo(path);
}

QString MainWindow::suggestedFileName(const QDateTime &when)
{
    return ConversationFileActions::suggestedFileName(when);
}

FindBar *MainWindow::findBar()
{
    return m_search->bar();
}

void MainWindow::openFindBar()
{
    m_search->open();
}

bool MainWindow::undoClear()
{
    const int count = m_conversation.clearedRows();
    if (!m_conversation.restoreCleared())
        return false;
    m_sessions->rebuild();
    m_status->showRestored(count);
    // The clear before it can be undone next.
    if (const int older = m_conversation.clearedRows())
        m_status->showCleared(older);
    return true;
}

void MainWindow::showEventRows(int session, qint64 msecs)
{
    // Its session alone, when numbered and listed; then the last row that
    // had come by the event's time (its mark, when it left one).
    if (session > 0)
        m_sessions->showSession(session);
    int row = -1;
    for (int r = m_conversation.rowCount() - 1; r >= 0 && row < 0; --r) {
        if (m_conversation.arrivedMsecs(r) <= msecs)
            row = r;
    }
    m_panes->selectRow(std::max(row, 0));
    activateWindow();
    lstClient->setFocus(Qt::OtherFocusReason);
}

const EventHistory &MainWindow::eventHistory() const
{
    return m_status->history();
}

void MainWindow::showEventHistory()
{
    m_status->showHistory();
}

void MainWindow::copyRows()
{
    m_panes->copyRows();
}

QMessageBox *MainWindow::reportError(const QString &message)
{
    // Opened, not exec()'d: the event loop, and with it the relay, keeps running.
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Dravlin"), message,
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("msgErreur"));
    // A message may quote a peer or a file name: never markup.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    Q_EMIT errorReported(message);
    return box;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The window goes at once, but bytes already read from one side are
    // still owed to the other: the lock keeps the application's event loop
    // running, past its last window, until the relay has delivered them.
    if (!m_finishLock)
        m_finishLock = std::make_unique<QEventLoopLocker>();
    m_relay.finish();
    event->accept();
}

void MainWindow::onRelayFinished()
{
    m_finishLock.reset();
}
