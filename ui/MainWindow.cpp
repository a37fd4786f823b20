#include "MainWindow.h"

#include "CertificateAuthority.h"
#include "ConversationFile.h"
#include "ConversationPcap.h"
#include "ConversationSearch.h"
#include "EventHistoryDialog.h"
#include "EventText.h"
#include "FindBar.h"
#include "PaneView.h"
#include "PrivateSaveFile.h"
#include "RelaySettings.h"
#include "RowDelegate.h"
#include "SessionMarks.h"
#include "SlicedWork.h"
#include "TrafficPanes.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QEventLoopLocker>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QtMath>
#include <QStatusBar>
#include <QTime>

#include <algorithm>
#include <iterator>

namespace {

// Rows exported between two looks at the event loop: some 10 ms of work.
constexpr int ExportRowsPerSlice = 4096;

QString designTitle() { return QStringLiteral("Dravlin - par l'équipe Dravlin"); }
QString insecureCaption() { return QStringLiteral("Accepter tout certificat serveur"); }
const QColor StoppedColour(255, 0, 0);
const QColor StartedColour(0, 255, 0);

QLabel *makeLabel(const QString &name, const QString &text, Qt::Alignment alignment,
                  QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(alignment);
    return label;
}

QLineEdit *makeField(const QString &name, const QString &text, QWidget *parent)
{
    auto *field = new QLineEdit(text, parent);
    field->setObjectName(name);
    return field;
}

QPushButton *makeButton(const QString &name, const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

// What goes wrong, as opposed to what simply happens: these stay in view
// until the user has had a chance to see them.
bool isFailure(const RelayEvent &event)
{
    if (event.kind == RelayEvent::Kind::PeerReset && event.end == RelayEvent::End::ClosedByClientAfterDialogue)
        return false;
    switch (event.kind) {
    case RelayEvent::Kind::ListenFailed:
    case RelayEvent::Kind::ServerFailed:
    case RelayEvent::Kind::PeerReset:
    case RelayEvent::Kind::Undelivered:
    case RelayEvent::Kind::TlsFailed:
    case RelayEvent::Kind::PlaintextDropped:
    case RelayEvent::Kind::TlsUnavailable:
        return true;
    default:
        return false;
    }
}

QString rowCountText(int count, const QString &one, const QString &many)
{
    return (count == 1 ? one : many).arg(QLocale(QLocale::French).toString(count));
}

void setBackground(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
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

    createControls();
    placeControls();
    chainTabOrder();
    showState(false);

    m_panes = new TrafficPanes(&m_conversation, lstClient, lstServeur, this);
    createActions();

    connect(cmdStart, &QPushButton::clicked, this, &MainWindow::onCmdStartClicked);
    connect(cmdStop, &QPushButton::clicked, this, &MainWindow::onCmdStopClicked);
    connect(txtPortClient, &QLineEdit::textChanged, this, &MainWindow::onTxtPortClientTextChanged);
    m_capture.follow(&m_relay);
    connect(&m_capture, &ConversationCapture::rowsCaptured, &m_conversation, &Conversation::appendRows);
    connect(&m_conversation, &Conversation::rowsCleared, this, &MainWindow::onConversationRowsCleared);
    connect(m_findBar, &FindBar::currentMatchChanged, this, &MainWindow::onFindBarCurrentMatchChanged);
    connect(m_findBar, &FindBar::matchesChanged, this, &MainWindow::onFindBarMatchesChanged);
    connect(m_findBar, &FindBar::matchRequested, this, &MainWindow::onFindBarMatchRequested);
    connect(m_findBar, &FindBar::closed, this, &MainWindow::onFindBarClosed);
    for (QLineEdit *field : {txtPortClient, txtAdresseServeur, txtPortServeur})
        connect(field, &QLineEdit::returnPressed, this, &MainWindow::onFieldReturnPressed);
    qApp->installEventFilter(this);
    connect(&m_relay, &Relay::eventOccurred, this, &MainWindow::onRelayEventOccurred);
    connect(&m_relay, &Relay::finished, this, &MainWindow::onRelayFinished);

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
    txtPortClient->setFocus();
}

MainWindow::~MainWindow()
{
    qApp->removeEventFilter(this);
    m_relay.disconnect(this);
}

void MainWindow::createControls()
{
    m_clientArea = new QWidget(this);
    m_clientArea->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(m_clientArea);

    configurationBox = new QGroupBox(QStringLiteral("Configuration"), m_clientArea);
    configurationBox->setObjectName(QStringLiteral("Frame1"));
    const Qt::Alignment caption = Qt::AlignLeft | Qt::AlignTop;
    const QString defaultPort = QString::number(RelaySettings::DefaultPort);
    listenPortCaption = makeLabel(QStringLiteral("Label3"), QStringLiteral("Serveur sur le port"), caption, configurationBox);
    txtPortClient = makeField(QStringLiteral("txtPortClient"), defaultPort, configurationBox);
    serverHostCaption = makeLabel(QStringLiteral("Label4"), QStringLiteral("Redirige vers"), caption, configurationBox);
    txtAdresseServeur = makeField(QStringLiteral("txtAdresseServeur"),
                                  QString::fromLatin1(RelaySettings::DefaultServerHost), configurationBox);
    serverPortCaption = makeLabel(QStringLiteral("Label5"), QStringLiteral("Sur le port"), caption, configurationBox);
    txtPortServeur = makeField(QStringLiteral("txtPortServeur"), defaultPort, configurationBox);
    chkTls = new QCheckBox(QStringLiteral("Déchiffrer TLS"), configurationBox);
    chkTls->setObjectName(QStringLiteral("chkTls"));
    chkTls->setToolTip(QStringLiteral(
        "Suit STARTTLS, STLS, AUTH TLS et le TLS implicite et montre en clair ce qui passe chiffré.\n"
        "Le client voit un certificat de l'autorité de Dravlin : faites-lui confiance\n"
        "(clic droit : « Exporter le certificat CA… »)."));
    chkTlsInsecure = new QCheckBox(insecureCaption(), configurationBox);
    chkTlsInsecure->setObjectName(QStringLiteral("chkTlsInsecure"));
    chkTlsInsecure->setToolTip(QStringLiteral(
        "Ne vérifie pas le certificat du serveur ; son empreinte SHA-256 est montrée."));
    cmdStart = makeButton(QStringLiteral("cmdStart"), QStringLiteral("Ecouter"), configurationBox);
    cmdStop = makeButton(QStringLiteral("cmdStop"), QStringLiteral("Stop !"), configurationBox);

    FrameEtat = new QFrame(configurationBox);
    FrameEtat->setObjectName(QStringLiteral("FrameEtat"));
    FrameEtat->setFrameShape(QFrame::Box);
    FrameEtat->setAutoFillBackground(true);
    // The label lets the panel's colour show through around its text.
    lblEtat = makeLabel(QStringLiteral("lblEtat"), QStringLiteral("Serveur arrêté"),
                        Qt::AlignHCenter | Qt::AlignTop, FrameEtat);
    QFont etatFont = QApplication::font();
    etatFont.setFamilies({QStringLiteral("Arial Black"), QStringLiteral("Arial"),
                          QStringLiteral("Liberation Sans"), etatFont.family()});
    etatFont.setStyleHint(QFont::SansSerif);
    etatFont.setWeight(QFont::Bold);
    etatFont.setPointSizeF(14.25);
    lblEtat->setFont(etatFont);

    const Qt::Alignment centred = Qt::AlignHCenter | Qt::AlignTop;
    clientPaneCaption = makeLabel(QStringLiteral("Label1"), QStringLiteral("Donnees recues du client"), centred, m_clientArea);
    serverPaneCaption = makeLabel(QStringLiteral("Label2"), QStringLiteral("Donnees recues du server"), centred, m_clientArea);
    lstClient = new PaneView(m_clientArea);
    lstClient->setObjectName(QStringLiteral("lstClient"));
    lstServeur = new PaneView(m_clientArea);
    lstServeur->setObjectName(QStringLiteral("lstServeur"));
    m_search = new ConversationSearch(&m_conversation, this);
    m_findBar = new FindBar(m_search, m_clientArea);
    m_findBar->hide();

    lblEvenement = new QLabel(QStringLiteral("Prêt : cliquez sur « Ecouter » pour démarrer le relais."));
    lblEvenement->setObjectName(QStringLiteral("lblEvenement"));
    lblEvenement->setCursor(Qt::PointingHandCursor);
    lblEvenement->setToolTip(QStringLiteral("Historique des événements (Ctrl+H)"));
    lblEchec = new QLabel;
    lblEchec->setObjectName(QStringLiteral("lblEchec"));
    lblEchec->setCursor(Qt::PointingHandCursor);
    lblEchec->setToolTip(lblEvenement->toolTip());
    lblEchec->setStyleSheet(QStringLiteral("QLabel { background: #ffd6d6; color: #8a0010; padding: 0 6px; }"));
    lblEchec->hide();
    lblEffacement = new QLabel;
    lblEffacement->setObjectName(QStringLiteral("lblEffacement"));
    lblEffacement->setCursor(Qt::PointingHandCursor);
    lblEffacement->setToolTip(QStringLiteral("Rétablir les lignes effacées (Ctrl+Z)"));
    lblEffacement->hide();
    statusBar()->addWidget(lblEchec);
    statusBar()->addWidget(lblEvenement, 1);
    statusBar()->addPermanentWidget(lblEffacement);
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
    const TwipScale &s = m_scale;
    // Fields for a port and the buttons keep their width: they are small
    // already. The others narrow with the row, and the status panel gives up
    // what the buttons kept.
    const auto rect = [&](int left, int top, int width, int height, bool keepWidth = false) {
        QRect r = s.rect(left, top, width, height);
        if (squeeze < 1.0) {
            const int right = qRound((r.right() + 1) * squeeze);
            const int designWidth = r.width();
            r.setLeft(qRound(r.left() * squeeze));
            r.setRight(right - 1);
            if (keepWidth)
                r.setWidth(designWidth);
        }
        return r;
    };
    for (QLabel *caption : {listenPortCaption, serverHostCaption, serverPortCaption, lblEtat})
        caption->setWordWrap(squeeze < 1.0);
    configurationBox->setGeometry(rect(0, 0, 12375, 1215));
    listenPortCaption->setGeometry(rect(120, 480, 1455, 375));
    txtPortClient->setGeometry(rect(1680, 480, 615, 285, true));
    serverHostCaption->setGeometry(rect(2760, 240, 1215, 495));
    txtAdresseServeur->setGeometry(rect(3960, 240, 2895, 285));
    serverPortCaption->setGeometry(rect(2760, 840, 1215, 255));
    txtPortServeur->setGeometry(rect(3960, 840, 615, 285, true));
    // Not in the design: in the room it left under the local port and beside
    // the server port.
    chkTls->setGeometry(rect(120, 870, 2520, 285));
    cmdStart->setGeometry(rect(7440, 240, 1215, 375, true));
    cmdStop->setGeometry(rect(7440, 720, 1215, 375, true));
    // Between the server port, which keeps its width, and the buttons; too
    // narrow for its caption, it takes a shorter one (the tooltip says all).
    QRect insecure = rect(4680, 840, 2700, 285);
    insecure.setLeft(std::max(insecure.left(), txtPortServeur->geometry().right() + 1 + s.x(105)));
    insecure.setRight(std::min(insecure.right(), cmdStart->geometry().left() - 1 - s.x(60)));
    chkTlsInsecure->setGeometry(insecure);
    chkTlsInsecure->setText(insecureCaption());
    if (chkTlsInsecure->sizeHint().width() > insecure.width())
        chkTlsInsecure->setText(QStringLiteral("Tout certificat"));
    QRect etat = rect(8880, 120, 3495, 1095);
    etat.setLeft(std::max(etat.left(), cmdStop->geometry().right() + 1 + s.x(225)));
    FrameEtat->setGeometry(etat);
    lblEtat->setGeometry(squeeze < 1.0 ? QRect(0, s.y(360), etat.width(), s.y(615)) : s.rect(0, 360, 3495, 615));
    placePanes();
}

void MainWindow::placePanes()
{
    // The panes and their captions share any width beyond the design (or
    // any width short of it) half and half, and take all extra height (or
    // give up what is missing).
    const QSize extra = m_clientArea->size() - designClientSize();
    const int leftExtra = extra.width() / 2;
    const int rightExtra = extra.width() - leftExtra;
    const TwipScale &s = m_scale;
    clientPaneCaption->setGeometry(s.rect(0, 1200, 6135, 255).adjusted(0, 0, leftExtra, 0));
    serverPaneCaption->setGeometry(s.rect(6240, 1200, 6135, 255).adjusted(leftExtra, 0, leftExtra + rightExtra, 0));
    // The find bar, when open, takes the top of both panes' room.
    const int bar = m_findBar->isHidden() ? 0 : m_findBar->sizeHint().height();
    m_findBar->setGeometry(s.rect(0, 1440, 12375, 0).adjusted(0, 0, extra.width(), bar));
    lstClient->setGeometry(s.rect(0, 1440, 6135, 8445).adjusted(0, bar, leftExtra, extra.height()));
    lstServeur->setGeometry(
        s.rect(6240, 1440, 6135, 8445).adjusted(leftExtra, bar, leftExtra + rightExtra, extra.height()));
}

void MainWindow::chainTabOrder()
{
    // Labels and frames take no focus, so the chain starts at the local port.
    QWidget *const chain[] = {txtPortClient, txtAdresseServeur, txtPortServeur, chkTls, chkTlsInsecure,
                              cmdStart,      cmdStop,           lstClient,      lstServeur};
    for (size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
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
    m_saveAction = newAction(QStringLiteral("Enregistrer la conversation…"),
                             QStringLiteral("actEnregistrer"), QKeySequence::Save, Qt::WindowShortcut);
    connect(m_saveAction, &QAction::triggered, this, &MainWindow::onSaveTriggered);
    addAction(m_saveAction);

    // Only while a pane has the focus: in a field, Ctrl+C copies the field's text.
    m_copyAction = newAction(QStringLiteral("Copier"), QStringLiteral("actCopier"), QKeySequence::Copy,
                             Qt::WidgetShortcut);
    connect(m_copyAction, &QAction::triggered, this, &MainWindow::onCopyTriggered);

    // Ctrl+Z in a field still undoes its typing: the field takes the key first.
    m_undoAction = newAction(QStringLiteral("Rétablir les lignes effacées"), QStringLiteral("actRetablir"),
                             QKeySequence::Undo, Qt::WindowShortcut);
    connect(m_undoAction, &QAction::triggered, this, &MainWindow::onUndoTriggered);
    addAction(m_undoAction);
    m_historyAction = newAction(QStringLiteral("Historique des événements"), QStringLiteral("actHistorique"),
                                QKeySequence(Qt::CTRL | Qt::Key_H), Qt::WindowShortcut);
    connect(m_historyAction, &QAction::triggered, this, &MainWindow::onHistoryTriggered);
    addAction(m_historyAction);

    m_openAction = newAction(QStringLiteral("Ouvrir une conversation…"), QStringLiteral("actOuvrir"),
                             QKeySequence::Open, Qt::WindowShortcut);
    connect(m_openAction, &QAction::triggered, this, &MainWindow::onOpenTriggered);
    addAction(m_openAction);
    m_pcapAction = newAction(QStringLiteral("Exporter en pcap…"), QStringLiteral("actExporterPcap"));
    connect(m_pcapAction, &QAction::triggered, this, &MainWindow::onExportPcapTriggered);
    m_exportCaAction = newAction(QStringLiteral("Exporter le certificat CA…"), QStringLiteral("actExporterCa"));
    connect(m_exportCaAction, &QAction::triggered, this, &MainWindow::onExportCaTriggered);
    for (QCheckBox *box : {chkTls, chkTlsInsecure}) {
        box->addAction(m_exportCaAction);
        box->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    m_findAction = newAction(QStringLiteral("Rechercher…"), QStringLiteral("actRechercher"), QKeySequence::Find,
                             Qt::WindowShortcut);
    connect(m_findAction, &QAction::triggered, this, &MainWindow::onFindTriggered);
    addAction(m_findAction);

    for (PaneView *pane : {lstClient, lstServeur}) {
        pane->addAction(m_findAction);
        pane->addAction(m_copyAction);
        pane->addAction(m_saveAction);
        pane->addAction(m_openAction);
        pane->addAction(m_pcapAction);
        pane->addAction(m_exportCaAction);
        pane->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_clientArea && event->type() == QEvent::Resize)
        placeControls();
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress) {
        const auto *widget = qobject_cast<const QWidget *>(watched);
        if (widget && widget->window() == this)
            onUserAction(watched);
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::onUserAction(QObject *target)
{
    // A click on the status line is read before it counts as having seen the failure.
    if (target == lblEffacement)
        QMetaObject::invokeMethod(this, &MainWindow::undoClear, Qt::QueuedConnection);
    else if (target == lblEvenement || target == lblEchec)
        QMetaObject::invokeMethod(this, &MainWindow::showEventHistory, Qt::QueuedConnection);
    lblEchec->hide();
}

void MainWindow::setFieldTexts(const QString &listenPort, const QString &serverHost,
                               const QString &serverPort)
{
    txtPortClient->setText(listenPort);
    txtAdresseServeur->setText(serverHost);
    txtPortServeur->setText(serverPort);
}

void MainWindow::setTlsSettings(const RelaySettings::Tls &tls)
{
    m_tls = tls;
    chkTls->setChecked(tls.inspectTls);
    chkTlsInsecure->setChecked(tls.tlsInsecure);
}

RelaySettings::Tls MainWindow::tlsSettings() const
{
    RelaySettings::Tls tls = m_tls;
    tls.inspectTls = chkTls->isChecked();
    tls.tlsInsecure = chkTlsInsecure->isChecked();
    return tls;
}

void MainWindow::clickStart()
{
    cmdStart->click();
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
    const auto error = m_relay.start(txtPortClient->text(), txtPortServeur->text(),
                                     txtAdresseServeur->text(), tlsSettings());
    if (error) {
        reportError(EventText::settingsError(*error, EventText::Naming::WindowFields));
        return;
    }
    enterStartedIfArmed();
}

void MainWindow::enterStartedIfArmed()
{
    if (m_relay.isArmed())
        enterStarted();
}

void MainWindow::enterStarted()
{
    m_panes->clear();
    setShownFile(QString());
    showState(true);
}

void MainWindow::onCmdStopClicked()
{
    m_relay.stop();
    showState(false);
}

void MainWindow::showState(bool started)
{
    cmdStart->setEnabled(!started);
    cmdStop->setEnabled(started);
    txtPortClient->setEnabled(!started);
    txtPortServeur->setEnabled(!started);
    txtAdresseServeur->setEnabled(!started);
    chkTls->setEnabled(!started);
    chkTlsInsecure->setEnabled(!started);
    setBackground(FrameEtat, started ? StartedColour : StoppedColour);
    lblEtat->setText(started ? QStringLiteral("Serveur démarré") : QStringLiteral("Serveur arrêté"));
}

void MainWindow::onTxtPortClientTextChanged(const QString &text)
{
    txtPortServeur->setText(text);
}

void MainWindow::onRelayEventOccurred(const RelayEvent &event)
{
    const QString mark = SessionMarks::text(event);
    if (!mark.isEmpty())
        m_conversation.appendMarker(event.time, mark);
    const QString message = EventText::describe(event);
    m_history.append(event.time, message, isFailure(event));
    showStatus(message, isFailure(event));
    // Only a listen that failed stops the relay on its own; a peer's fault
    // (refused, reset, closed) is shown in the status line and nothing more.
    if (event.kind == RelayEvent::Kind::ListenFailed && !cmdStart->isEnabled()) {
        showState(false);
        reportError(message);
    }
    // Comes within the click on "Ecouter", which then leaves the window stopped.
    if (event.kind == RelayEvent::Kind::TlsUnavailable)
        reportError(message);
}

void MainWindow::showStatus(const QString &text, bool failure)
{
    const QString line = QStringLiteral("%1  %2").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), text);
    lblEvenement->setText(line);
    if (failure) {
        lblEchec->setText(line);
        lblEchec->show();
    }
}

void MainWindow::onConversationRowsCleared(int count)
{
    lblEffacement->setText(rowCountText(count, QStringLiteral("%1 ligne effacée — Ctrl+Z pour la rétablir"),
                                        QStringLiteral("%1 lignes effacées — Ctrl+Z pour les rétablir")));
    lblEffacement->show();
}

void MainWindow::onOpenTriggered()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Ouvrir une conversation"), QString(),
                                                      QStringLiteral("Texte (*.txt);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        openConversation(path);
}

bool MainWindow::openConversation(const QString &path)
{
    // New rows would land among the file's.
    if (cmdStop->isEnabled()) {
        reportError(QStringLiteral("Arrêtez le relais (« Stop ! ») avant d'ouvrir une conversation."));
        return false;
    }
    QString why;
    const ConversationFile::Outcome outcome = ConversationFile::open(&m_conversation, path, this, &why);
    if (outcome == ConversationFile::Outcome::Refused)
        reportError(why);
    if (outcome != ConversationFile::Outcome::Opened)
        return false;
    setShownFile(path);
    return true;
}

void MainWindow::setShownFile(const QString &path)
{
    m_panes->setReadOnly(!path.isEmpty());
    if (path.isEmpty()) {
        setWindowTitle(designTitle());
        return;
    }
    const QString name = QFileInfo(path).fileName();
    setWindowTitle(QStringLiteral("%1 — %2 (lecture seule)").arg(designTitle(), name));
    lblEvenement->setText(rowCountText(m_conversation.rowCount(), QStringLiteral("« %2 » ouverte : %1 ligne, lecture seule jusqu'au prochain « Ecouter »"),
                                       QStringLiteral("« %2 » ouverte : %1 lignes, lecture seule jusqu'au prochain « Ecouter »"))
                              .arg(name));
}

void MainWindow::onExportPcapTriggered()
{
    QString name = suggestedFileName(QDateTime::currentDateTime());
    name.replace(QStringLiteral(".txt"), QStringLiteral(".pcap"));
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Exporter en pcap"), name,
                                                      QStringLiteral("Capture pcap (*.pcap);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        exportPcap(path);
}

bool MainWindow::exportPcap(const QString &path)
{
    // Like a saved conversation, for its owner only.
    PrivateSaveFile file(path);
    QString error;
    bool written = file.open(QIODevice::WriteOnly);
    if (written) {
        // A slice of rows at a time; cancelled, the file is not written at all.
        ConversationPcap pcap(m_conversation, &file);
        const auto progress = [&pcap] { return int(qint64(pcap.rowsWritten()) * 1000 / std::max(1, pcap.rowsToWrite())); };
        SlicedWork work(this, QStringLiteral("Export de « %1 »…").arg(QFileInfo(path).fileName()));
        // Cancelled, the file is dropped unwritten when it goes out of scope.
        if (!work.run([&pcap] { return pcap.writeRows(ExportRowsPerSlice); }, progress))
            return false;
        error = pcap.errorString();
        written = error.isEmpty() && file.commit();
    }
    if (!written) {
        reportError(QStringLiteral("Impossible d'exporter la conversation dans « %1 »\u00a0: %2")
                        .arg(QDir::toNativeSeparators(path), error.isEmpty() ? file.errorString() : error));
    }
    return written;
}

void MainWindow::onExportCaTriggered()
{
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Exporter le certificat CA"),
        QDir(QDir::homePath()).filePath(QStringLiteral("dravlin-ca.crt")),
        QStringLiteral("Certificats PEM (*.crt *.pem);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        exportCaCertificate(path);
}

bool MainWindow::exportCaCertificate(const QString &path)
{
    CertificateAuthority authority(m_tls.caDirectory.isEmpty() ? CertificateAuthority::defaultDirectory()
                                                               : m_tls.caDirectory);
    const QString error = authority.exportCertificate(path);
    if (!error.isEmpty()) {
        reportError(error);
        return false;
    }
    const QString message = QStringLiteral("Certificat de l'autorité de Dravlin exporté dans « %1 »")
                                .arg(QDir::toNativeSeparators(path));
    m_history.append(QDateTime::currentMSecsSinceEpoch(), message, false);
    showStatus(message, false);
    return true;
}

void MainWindow::onFindTriggered()
{
    openFindBar();
}

void MainWindow::openFindBar()
{
    for (PaneView *pane : {lstClient, lstServeur})
        static_cast<RowDelegate *>(pane->itemDelegate())->setSearch(m_search);
    m_findBar->setStartRow(std::max(0, lstClient->firstVisibleRow()));
    m_findBar->open();
    placePanes();
    repaintPanes();
}

void MainWindow::onFindBarCurrentMatchChanged(int row)
{
    for (PaneView *pane : {lstClient, lstServeur})
        static_cast<RowDelegate *>(pane->itemDelegate())->setCurrentMatch(row);
    repaintPanes();
}

void MainWindow::onFindBarMatchesChanged()
{
    repaintPanes();
}

void MainWindow::onFindBarMatchRequested(int row)
{
    m_panes->showRow(row);
}

void MainWindow::onFindBarClosed()
{
    for (PaneView *pane : {lstClient, lstServeur})
        static_cast<RowDelegate *>(pane->itemDelegate())->setSearch(nullptr);
    placePanes();
    repaintPanes();
    lstClient->setFocus();
}

void MainWindow::repaintPanes()
{
    lstClient->viewport()->update();
    lstServeur->viewport()->update();
}

void MainWindow::onUndoTriggered()
{
    undoClear();
}

bool MainWindow::undoClear()
{
    const int count = m_conversation.clearedRows();
    if (!m_conversation.restoreCleared())
        return false;
    lblEffacement->hide();
    lblEvenement->setText(rowCountText(count, QStringLiteral("%1 ligne rétablie"), QStringLiteral("%1 lignes rétablies")));
    return true;
}

void MainWindow::onHistoryTriggered()
{
    showEventHistory();
}

void MainWindow::showEventHistory()
{
    if (!m_historyDialog) {
        m_historyDialog = new EventHistoryDialog(&m_history, this);
        m_historyDialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_historyDialog->show();
    m_historyDialog->raise();
    m_historyDialog->activateWindow();
}

void MainWindow::onFieldReturnPressed()
{
    if (cmdStart->isEnabled())
        cmdStart->click();
}

QString MainWindow::suggestedFileName(const QDateTime &when)
{
    return when.toString(QStringLiteral("'conversation-'yyyy-MM-dd-HHmmss'.txt'"));
}

void MainWindow::onSaveTriggered()
{
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Enregistrer la conversation"),
        suggestedFileName(QDateTime::currentDateTime()),
        QStringLiteral("Texte (*.txt);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        saveConversation(path);
}

bool MainWindow::saveConversation(const QString &path)
{
    // Written a slice at a time, so a long capture is never held twice in memory.
    constexpr int RowsPerWrite = 16384;
    // It may hold what TLS hid (passwords): for its owner only, and a link
    // at path is replaced, never written through.
    PrivateSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    const int rows = m_conversation.rowCount();
    for (int first = 0; written && first < rows; first += RowsPerWrite) {
        const QByteArray slice = m_conversation.transcript(first, std::min(RowsPerWrite, rows - first));
        written = file.write(slice) == slice.size();
    }
    if (written)
        written = file.commit();
    if (!written) {
        // A no-break space before the colon keeps it off the start of a wrapped line.
        reportError(QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: %2")
                        .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return written;
}

void MainWindow::onCopyTriggered()
{
    copyRows();
}

void MainWindow::copyRows()
{
    // The panes' selection decides; a row is the same line of the
    // conversation in either pane, alignment row or not.
    const QByteArray selected = qobject_cast<const PaneView *>(focusWidget()) ? m_panes->selectedTranscript() : QByteArray();
    QGuiApplication::clipboard()->setText(QString::fromUtf8(
        selected.isEmpty() ? m_conversation.transcript(0, m_conversation.rowCount()) : selected));
}

void MainWindow::reportError(const QString &message)
{
    // Opened, not exec()'d: the event loop, and with it the relay, keeps running.
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Dravlin"), message,
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("msgErreur"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    Q_EMIT errorReported(message);
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
