#include "ConfigurationPanel.h"

#include "TwipScale.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QPainter>
#include <QShortcut>
#include <QStyle>
#include <qdrawutil.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

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

void setBackground(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
}

} // namespace

ConfigurationPanel::ConfigurationPanel(QWidget *parent)
    : QGroupBox(tr("Configuration"), parent)
{
    setObjectName(QStringLiteral("Frame1"));
    const Qt::Alignment caption = Qt::AlignLeft | Qt::AlignVCenter;
    const QString defaultPort = QString::number(RelaySettings::DefaultPort);
    listenPortCaption = makeLabel(QStringLiteral("Label3"), tr("&Serveur sur le port"), caption, this);
    txtPortClient = makeField(QStringLiteral("txtPortClient"), defaultPort, this);
    serverHostCaption = makeLabel(QStringLiteral("Label4"), tr("&Redirige vers"), caption, this);
    txtAdresseServeur = makeField(QStringLiteral("txtAdresseServeur"),
                                  QString::fromLatin1(RelaySettings::DefaultServerHost), this);
    serverPortCaption = makeLabel(QStringLiteral("Label5"), tr("Sur le p&ort"), caption, this);
    txtPortServeur = makeField(QStringLiteral("txtPortServeur"), defaultPort, this);
    clientsCaption = makeLabel(QStringLiteral("Label6"), tr("&Clients à la fois"), caption, this);
    txtClients = makeField(QStringLiteral("txtClients"), QStringLiteral("1"), this);
    // A caption says what its field holds as the field itself does.
    const auto explain = [](const QString &tip, QWidget *field, QWidget *fieldCaption) {
        field->setToolTip(tip);
        fieldCaption->setToolTip(tip);
    };
    explain(tr("Le port local sur lequel Dravlin attend le client.\n"
               "Ce que vous tapez ici est recopié dans « Sur le port » au fil de la frappe."),
            txtPortClient, listenPortCaption);
    explain(tr("Le nom ou l'adresse IP du serveur vers lequel chaque client est relayé."),
            txtAdresseServeur, serverHostCaption);
    explain(tr("Le port du serveur.\nIl reprend le port local chaque fois que celui-ci est modifié."),
            txtPortServeur, serverPortCaption);
    explain(tr("Combien de clients sont servis à la fois, de 1 à %1.\n"
               "Avec 1, un second client est refusé tant que le premier est servi. Au-delà,\n"
               "chaque session a son numéro et la liste des sessions s'ouvre à gauche des panneaux.")
                .arg(RelaySettings::MaxClients),
            txtClients, clientsCaption);
    chkTls = new QCheckBox(tr("&Déchiffrer TLS"), this);
    chkTls->setObjectName(QStringLiteral("chkTls"));
    chkTls->setToolTip(tr(
        "Suit STARTTLS, STLS, AUTH TLS et le TLS implicite et montre en clair ce qui passe chiffré.\n"
        "Le client voit un certificat de l'autorité de Dravlin : faites-lui confiance\n"
        "(clic droit : « Exporter le certificat CA… »)."));
    chkTlsInsecure = new QCheckBox(this);
    chkTlsInsecure->setObjectName(QStringLiteral("chkTlsInsecure"));
    // The captions stay the design's; the keys are told in the tooltips. A
    // button's own shortcut is its mnemonic: F5 and Shift+F5 come besides.
    const auto alsoOn = [this](QPushButton *button, const QKeySequence &key) {
        connect(new QShortcut(key, this), &QShortcut::activated, button, [button] {
            if (button->isEnabled())
                button->animateClick();
        });
        return key.toString(QKeySequence::NativeText);
    };
    cmdStart = makeButton(QStringLiteral("cmdStart"), tr("&Ecouter"), this);
    cmdStart->setToolTip(tr("Démarre le relais : écoute sur le port local et relaie chaque client vers le serveur (%1).")
                             .arg(alsoOn(cmdStart, QKeySequence(Qt::Key_F5))));
    cmdStop = makeButton(QStringLiteral("cmdStop"), tr("S&top !"), this);
    cmdStop->setToolTip(tr("Arrête le relais et son écoute (%1).").arg(alsoOn(cmdStop, QKeySequence(Qt::SHIFT | Qt::Key_F5))));
    // Alt and the underlined letter reach each control; F5 and Shift+F5 stay.
    const std::pair<QLabel *, QWidget *> buddies[] = {{listenPortCaption, txtPortClient},
                                                     {serverHostCaption, txtAdresseServeur},
                                                     {serverPortCaption, txtPortServeur},
                                                     {clientsCaption, txtClients}};
    for (const auto &[buddyCaption, field] : buddies)
        buddyCaption->setBuddy(field);
    fitInsecureCaption();

    FrameEtat = new QFrame(this);
    FrameEtat->setObjectName(QStringLiteral("FrameEtat"));
    FrameEtat->setFrameShape(QFrame::Box);
    FrameEtat->setAutoFillBackground(true);
    // The label lets the panel's colour show through around its text.
    lblEtat = makeLabel(QStringLiteral("lblEtat"), tr("Serveur arrêté"), Qt::AlignHCenter | Qt::AlignTop, FrameEtat);
    FrameEtat->setToolTip(tr("Dit si le relais a été démarré (vert) ou arrêté (rouge)."));
    lblEtat->setToolTip(FrameEtat->toolTip());
    QFont etatFont = QApplication::font();
    etatFont.setFamilies({QStringLiteral("Arial Black"), QStringLiteral("Arial"),
                          QStringLiteral("Liberation Sans"), etatFont.family()});
    etatFont.setStyleHint(QFont::SansSerif);
    etatFont.setWeight(QFont::Bold);
    etatFont.setPointSizeF(14.25);
    lblEtat->setFont(etatFont);

    connect(cmdStart, &QPushButton::clicked, this, &ConfigurationPanel::startClicked);
    connect(cmdStop, &QPushButton::clicked, this, &ConfigurationPanel::stopClicked);
    connect(txtPortClient, &QLineEdit::textChanged, this, &ConfigurationPanel::onTxtPortClientTextChanged);
    for (QLineEdit *field : {txtPortClient, txtAdresseServeur, txtPortServeur, txtClients})
        connect(field, &QLineEdit::returnPressed, this, &ConfigurationPanel::onFieldReturnPressed);
}

void ConfigurationPanel::place(const TwipScale &s, qreal squeeze, int extra)
{
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
    for (QLabel *caption : {listenPortCaption, serverHostCaption, serverPortCaption, clientsCaption, lblEtat})
        caption->setWordWrap(squeeze < 1.0);
    // Wider than designed, the server's name takes the extra width and
    // what stands right of it moves along.
    extra = squeeze < 1.0 ? 0 : std::max(0, extra);
    const auto right = [&](int left, int top, int width, int height, bool keepWidth = false) {
        return rect(left, top, width, height, keepWidth).translated(extra, 0);
    };
    setGeometry(rect(0, 0, 12375, 1215).adjusted(0, 0, extra, 0));
    listenPortCaption->setGeometry(rect(120, 480, 1455, 375));
    txtPortClient->setGeometry(rect(1680, 480, 615, 285, true));
    serverHostCaption->setGeometry(rect(2760, 240, 1215, 495));
    serverPortCaption->setGeometry(rect(2760, 840, 1215, 255));
    txtPortServeur->setGeometry(rect(3960, 840, 615, 285, true));
    // Not in the design: in the room it left under the local port and beside
    // the server port.
    chkTls->setGeometry(rect(120, 870, 2520, 285));
    cmdStart->setGeometry(right(7440, 240, 1215, 375, true));
    cmdStop->setGeometry(right(7440, 720, 1215, 375, true));
    // Not in the design: the server's name gives up the end of its field to
    // how many clients are served at once, which keeps its width and stays
    // clear of the buttons; its caption takes what is left between them.
    QRect clients = right(6900, 240, 435, 285, true);
    clients.moveRight(std::min(clients.right(), cmdStart->geometry().left() - 1 - s.x(105)));
    txtClients->setGeometry(clients);
    QRect clientsRoom = right(5640, 240, 1215, 495);
    clientsRoom.setRight(clients.left() - 1 - s.x(60));
    clientsCaption->setGeometry(clientsRoom);
    QRect host = rect(3960, 240, 1575, 285).adjusted(0, 0, extra, 0);
    host.setRight(std::min(host.right(), clientsRoom.left() - 1 - s.x(45)));
    txtAdresseServeur->setGeometry(host);
    // Between the server port, which keeps its width, and the buttons; too
    // narrow for its caption, the caption is cut (the tooltip says all).
    QRect insecure = rect(4680, 840, 2700, 285).adjusted(0, 0, extra, 0);
    insecure.setLeft(std::max(insecure.left(), txtPortServeur->geometry().right() + 1 + s.x(105)));
    insecure.setRight(std::min(insecure.right(), cmdStart->geometry().left() - 1 - s.x(60)));
    chkTlsInsecure->setGeometry(insecure);
    fitInsecureCaption();
    QRect etat = right(8880, 120, 3495, 1095);
    etat.setLeft(std::max(etat.left(), cmdStop->geometry().right() + 1 + s.x(225)));
    FrameEtat->setGeometry(etat);
    centreOn(listenPortCaption, txtPortClient);
    centreOn(serverHostCaption, txtAdresseServeur);
    centreOn(serverPortCaption, txtPortServeur);
    centreOn(clientsCaption, txtClients);
    // The design's row reaches the frame's own edges (the status panel to its
    // foot); here the border is drawn inside the frame, and nothing may
    // straddle it or cover the caption.
    const int line = 2; // the etched line, a dark one and a light one
    const QRect inside = borderRect().adjusted(line, line, -line, -line);
    const QRect title = captionRect();
    for (QWidget *child : findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        QRect kept = child->geometry().intersected(inside);
        if (kept.intersects(title))
            kept.setTop(title.bottom() + 1);
        child->setGeometry(kept);
    }
    etat = FrameEtat->geometry();
    lblEtat->setGeometry(squeeze < 1.0 ? QRect(0, s.y(360), etat.width(), s.y(615)) : s.rect(0, 360, 3495, 615));
    lblEtat->setGeometry(lblEtat->geometry().intersected(FrameEtat->rect()));
}

void ConfigurationPanel::centreOn(QLabel *caption, const QWidget *field)
{
    QRect placed = caption->geometry();
    placed.moveCenter(QPoint(placed.center().x(), field->geometry().center().y()));
    caption->setGeometry(placed);
}

void ConfigurationPanel::fitInsecureCaption()
{
    // The mnemonic is the first letter, so that a cut caption keeps it.
    const QString whole = tr("Accepter tout certificat serveur");
    const QString meaning = tr("Ne vérifie pas le certificat du serveur ; son empreinte SHA-256 est montrée.");
    chkTlsInsecure->setText(QLatin1Char('&') + whole);
    const int wanted = chkTlsInsecure->sizeHint().width();
    if (wanted <= chkTlsInsecure->width()) {
        chkTlsInsecure->setToolTip(meaning);
        return;
    }
    // The box and its spacing take what they take; the text gets the rest.
    const QFontMetrics metrics = chkTlsInsecure->fontMetrics();
    const int room = chkTlsInsecure->width() - (wanted - metrics.horizontalAdvance(whole));
    chkTlsInsecure->setText(QLatin1Char('&') + metrics.elidedText(whole, Qt::ElideRight, std::max(0, room)));
    chkTlsInsecure->setToolTip(whole + QLatin1String(" :\n") + meaning);
}

QRect ConfigurationPanel::captionRect() const
{
    const QFontMetrics metrics = fontMetrics();
    return QRect(metrics.averageCharWidth(), 0, metrics.horizontalAdvance(title()), metrics.height());
}

QRect ConfigurationPanel::borderRect() const
{
    return rect().adjusted(0, captionRect().height() / 2, 0, 0);
}

void ConfigurationPanel::paintEvent(QPaintEvent *)
{
    // Some styles (Fusion among them) draw a group box's caption above its
    // frame, flush left, and the frame lower still; this row's caption sits on
    // the top line, the line broken around it, in the etched frame desktops
    // commonly draw around a group box.
    QPainter painter(this);
    const QRect caption = captionRect();
    const int gap = fontMetrics().averageCharWidth() / 2;
    painter.setClipRegion(QRegion(rect()) - caption.adjusted(-gap, 0, gap, 0));
    qDrawShadeRect(&painter, borderRect(), palette(), true, 1, 0);
    painter.setClipping(false);
    style()->drawItemText(&painter, caption, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), title(),
                          QPalette::WindowText);
}

void ConfigurationPanel::chainTabOrder(QWidget *next)
{
    // Labels and frames take no focus, so the chain starts at the local port.
    // The design's controls keep their order; those added since come where
    // they are read, row by row from the left.
    QWidget *const chain[] = {txtPortClient,  txtAdresseServeur, txtClients, chkTls, txtPortServeur,
                              chkTlsInsecure, cmdStart,          cmdStop,    next};
    for (size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
}

void ConfigurationPanel::focusFirstField()
{
    txtPortClient->setFocus();
}

void ConfigurationPanel::addTlsAction(QAction *action)
{
    for (QCheckBox *box : {chkTls, chkTlsInsecure}) {
        box->addAction(action);
        box->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
}

void ConfigurationPanel::setFieldTexts(const QString &listenPort, const QString &serverHost,
                                       const QString &serverPort)
{
    txtPortClient->setText(listenPort);
    txtAdresseServeur->setText(serverHost);
    txtPortServeur->setText(serverPort);
}

QString ConfigurationPanel::listenPortText() const
{
    return txtPortClient->text();
}

QString ConfigurationPanel::serverHostText() const
{
    return txtAdresseServeur->text();
}

QString ConfigurationPanel::serverPortText() const
{
    return txtPortServeur->text();
}

void ConfigurationPanel::setClientsText(const QString &text)
{
    txtClients->setText(text);
}

QString ConfigurationPanel::clientsText() const
{
    return txtClients->text();
}

std::optional<RelaySettings::Error> ConfigurationPanel::settings(RelaySettings *settings) const
{
    RelaySettings parsed;
    if (auto error = RelaySettings::parse(listenPortText(), serverPortText(), serverHostText(), &parsed))
        return error;
    if (!RelaySettings::parseClients(clientsText(), &parsed.maxClients))
        return RelaySettings::Error{RelaySettings::Error::Field::Clients, RelaySettings::Error::Problem::NotAClientCount,
                                    clientsText()};
    parsed.tls = tls();
    *settings = parsed;
    return std::nullopt;
}

void ConfigurationPanel::setTls(const RelaySettings::Tls &tls)
{
    m_tls = tls;
    chkTls->setChecked(tls.inspectTls);
    chkTlsInsecure->setChecked(tls.tlsInsecure);
}

RelaySettings::Tls ConfigurationPanel::tls() const
{
    RelaySettings::Tls tls = m_tls;
    tls.inspectTls = chkTls->isChecked();
    tls.tlsInsecure = chkTlsInsecure->isChecked();
    return tls;
}

void ConfigurationPanel::showState(bool started)
{
    cmdStart->setEnabled(!started);
    cmdStop->setEnabled(started);
    txtPortClient->setEnabled(!started);
    txtPortServeur->setEnabled(!started);
    txtAdresseServeur->setEnabled(!started);
    txtClients->setEnabled(!started);
    chkTls->setEnabled(!started);
    chkTlsInsecure->setEnabled(!started);
    // Started is said once the port is had (showListening()), not at the click.
    if (!started) {
        setBackground(FrameEtat, StoppedColour);
        lblEtat->setText(tr("Serveur arrêté"));
    }
}

void ConfigurationPanel::showListening()
{
    if (!isStarted())
        return;
    setBackground(FrameEtat, StartedColour);
    lblEtat->setText(tr("Serveur démarré"));
}

bool ConfigurationPanel::isStarted() const
{
    return cmdStop->isEnabled();
}

void ConfigurationPanel::clickStart()
{
    cmdStart->click();
}

void ConfigurationPanel::focusField(RelaySettings::Error::Field field)
{
    // In the order of RelaySettings::Error::Field.
    QLineEdit *const fields[] = {txtPortClient, txtPortServeur, txtAdresseServeur, txtClients};
    QLineEdit *atFault = fields[static_cast<int>(field)];
    atFault->setFocus(Qt::OtherFocusReason);
    atFault->selectAll();
}

void ConfigurationPanel::onTxtPortClientTextChanged(const QString &text)
{
    txtPortServeur->setText(text);
}

void ConfigurationPanel::onFieldReturnPressed()
{
    if (cmdStart->isEnabled())
        cmdStart->click();
}
