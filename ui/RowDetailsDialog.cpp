#include "RowDetailsDialog.h"
#include "FigureText.h"

#include "LineCapture.h"

#include "AuthExchange.h"
#include "Conversation.h"
#include "EndpointText.h"
#include "EventText.h"
#include "RowText.h"
#include "SessionMarks.h"
#include "Transcript.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QtMath>
#include <QVBoxLayout>

namespace {

// Eight bullets whatever the password's length, which would otherwise show.
constexpr QChar Bullet(0x2022);
constexpr int MaskedLength = 8;

QPlainTextEdit *readOnlyText(const QString &name, const QString &text, QWidget *parent)
{
    auto *edit = new QPlainTextEdit(parent);
    edit->setObjectName(name);
    edit->setReadOnly(true);
    edit->setPlainText(text);
    return edit;
}

} // namespace

QString RowDetailsDialog::hexDump(QByteArrayView bytes)
{
    static const char digits[] = "0123456789abcdef";
    constexpr int PerLine = 16;
    constexpr int LineChars = 8 + 2 + PerLine * 3 + 1 + 1 + PerLine + 2;
    QString out;
    out.reserve((bytes.size() / PerLine + 1) * LineChars);
    for (qsizetype at = 0; at < bytes.size(); at += PerLine) {
        const qsizetype count = std::min<qsizetype>(PerLine, bytes.size() - at);
        for (int shift = 28; shift >= 0; shift -= 4)
            out += QLatin1Char(digits[(at >> shift) & 0xf]);
        out += QLatin1String("  ");
        for (int i = 0; i < PerLine; ++i) {
            if (i == 8)
                out += QLatin1Char(' ');
            if (i < count) {
                const auto u = static_cast<unsigned char>(bytes[at + i]);
                out += QLatin1Char(digits[u >> 4]);
                out += QLatin1Char(digits[u & 0xf]);
                out += QLatin1Char(' ');
            } else {
                out += QLatin1String("   ");
            }
        }
        out += QLatin1String(" |");
        for (qsizetype i = 0; i < count; ++i) {
            const auto u = static_cast<unsigned char>(bytes[at + i]);
            out += QLatin1Char(u >= 0x20 && u < 0x7f ? char(u) : '.');
        }
        out += QLatin1String("|\n");
    }
    if (out.endsWith(QLatin1Char('\n')))
        out.chop(1);
    return out;
}

RowDetailsDialog::RowDetailsDialog(const Conversation &conversation, int row, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgDetails"));
    setWindowTitle(tr("Détails de la ligne %1").arg(QLocale(QLocale::French).toString(row + 1)));
    auto *layout = new QVBoxLayout(this);
    m_form = new QFormLayout;
    layout->addLayout(m_form);
    if (conversation.isMarker(row))
        addMarkFields(conversation, row, layout);
    else
        addRowFields(conversation, row, layout);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(tr("&Fermer"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(sizeHint().expandedTo(QSize(0, conversation.isMarker(row) ? 0 : 560)));
}

QLabel *RowDetailsDialog::addField(const QString &caption, const QString &name, const QString &text)
{
    auto *value = new QLabel(text, this);
    value->setTextFormat(Qt::PlainText);
    value->setObjectName(name);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setWordWrap(true);
    m_form->addRow(caption, value);
    return value;
}

void RowDetailsDialog::addMarkFields(const Conversation &conversation, int row, QVBoxLayout *layout)
{
    // A mark is Dravlin's own note about the session, not bytes a side sent:
    // it is told as what it stands for, with no length or dump that could be
    // taken for traffic.
    const SessionMark &mark = conversation.mark(row);
    const RelayEvent &event = mark.event;
    addField(tr("Écrite par :"), QStringLiteral("lblCote"), tr("Dravlin (marque, rien de transmis)"));
    QString kind;
    switch (event.kind) {
    case RelayEvent::Kind::ClientConnected: kind = tr("début de session"); break;
    case RelayEvent::Kind::SessionEnded:
        kind = SessionMarks::isFailure(mark) ? tr("fin de session en échec") : tr("fin de session");
        break;
    case RelayEvent::Kind::TlsEstablished: kind = tr("TLS établi"); break;
    case RelayEvent::Kind::PlaintextDropped: kind = tr("texte en clair ignoré"); break;
    default: kind = tr("marque"); break;
    }
    addField(tr("Genre :"), QStringLiteral("lblGenre"), kind);
    if (const int session = conversation.session(row))
        addField(tr("Session :"), QStringLiteral("lblSession"), QStringLiteral("#%1").arg(session));
    addField(tr("Heure :"), QStringLiteral("lblArrivee"), conversation.arrivalText(row));
    if (const QString client = EndpointText::text(event.client); !client.isEmpty())
        addField(tr("Client :"), QStringLiteral("lblClient"), RowText::escaped(client));
    if (const QString server = EndpointText::text(event.server); !server.isEmpty())
        addField(tr("Serveur :"), QStringLiteral("lblServeur"), RowText::escaped(server));
    if (event.kind == RelayEvent::Kind::SessionEnded) {
        addField(tr("Fin :"), QStringLiteral("lblFin"), EventText::sessionEnd(event.end, event.side));
        addField(tr("Client → serveur :"), QStringLiteral("lblVersServeur"), EventText::bytes(event.bytesClientToServer));
        addField(tr("Serveur → client :"), QStringLiteral("lblVersClient"), EventText::bytes(event.bytesServerToClient));
        addField(tr("Durée :"), QStringLiteral("lblDuree"), FigureText::duration(event.durationMs));
    }
    if (event.kind == RelayEvent::Kind::TlsEstablished)
        addField(tr("TLS :"), QStringLiteral("lblTls"), EventText::tlsDetails(event));
    if (event.kind == RelayEvent::Kind::PlaintextDropped)
        addField(tr("Ignoré :"), QStringLiteral("lblIgnore"), EventText::bytes(event.dropped));

    // A mark read from a file may be of any length: beyond a row's, the
    // dialog would take seconds to lay out.
    const QString start = conversation.markerStart(row, LineCapture::MaxRowBytes);
    if (start.size() > LineCapture::MaxRowBytes)
        addField(tr("Longueur :"), QStringLiteral("lblLongueur"),
                 tr("%1 de texte (les %2 premiers caractères montrés)")
                     .arg(EventText::bytes(SessionMarks::utf8(mark).size()), FigureText::count(LineCapture::MaxRowBytes)));
    layout->addWidget(new QLabel(tr("Texte de la marque :"), this));
    auto *text = readOnlyText(QStringLiteral("txtTexte"), SessionMarks::shown(start), this);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    layout->addWidget(text, 1);
}

void RowDetailsDialog::addRowFields(const Conversation &conversation, int row, QVBoxLayout *layout)
{
    const bool client = conversation.side(row) == Side::Client;
    const QByteArrayView bytes = conversation.bytes(row);
    // The bytes that ended the row in its stream, shown in the dump too: a
    // reader checking line endings sees them where they were.
    const LineCapture::RowEnd end = conversation.rowEnd(row);
    const QByteArray withEnd = end == LineCapture::RowEnd::CrLf ? bytes.toByteArray() + "\r\n" : bytes.toByteArray();

    addField(tr("Envoyée par :"), QStringLiteral("lblCote"), client ? tr("le client") : tr("le serveur"));
    addField(tr("Longueur :"), QStringLiteral("lblLongueur"), EventText::bytes(bytes.size()));
    QString ending;
    switch (end) {
    case LineCapture::RowEnd::CrLf: ending = tr("CR LF (2 octets, dans le vidage)"); break;
    case LineCapture::RowEnd::Cut: ending = tr("coupée à %1 : la suite est à la ligne suivante")
                                              .arg(EventText::bytes(LineCapture::MaxRowBytes)); break;
    case LineCapture::RowEnd::Unended: ending = tr("sans fin de ligne (connexion fermée ou fin du relais)"); break;
    }
    addField(tr("Fin de ligne :"), QStringLiteral("lblFinLigne"), ending);
    addField(tr("Chiffrement :"), QStringLiteral("lblTls"),
             conversation.isEncrypted(row) ? tr("reçue par TLS, montrée déchiffrée") : tr("reçue en clair"));
    addField(tr("Arrivée :"), QStringLiteral("lblArrivee"), conversation.arrivalText(row));
    // Among several clients served at once, whose dialogue it is.
    if (const int session = conversation.session(row))
        addField(tr("Session :"), QStringLiteral("lblSession"), QStringLiteral("#%1").arg(session));

    const QString original = conversation.difference(row);
    if (!original.isEmpty())
        addField(tr("≠ Réponse d'origine :"), QStringLiteral("lblOrigine"), original);

    const AuthExchange auth = AuthExchange::read(conversation, row);
    if (auth.found) {
        m_fields = auth.fields;
        m_password = auth.password;
        m_decoded = addField(tr("Base64 décodé :"), QStringLiteral("lblDecode"), QString());
        if (!m_password.isEmpty()) {
            m_reveal = new QCheckBox(tr("&Afficher le mot de passe"), this);
            m_reveal->setObjectName(QStringLiteral("chkMotDePasse"));
            connect(m_reveal, &QCheckBox::toggled, this, &RowDetailsDialog::onRevealToggled);
            m_form->addRow(QString(), m_reveal);
        }
        onRevealToggled(false);
    }

    // The transcript's form: every byte readable, nothing that steers a terminal.
    layout->addWidget(new QLabel(tr("Texte :"), this));
    auto *text = readOnlyText(QStringLiteral("txtTexte"),
                              QString::fromUtf8(RowText::transcript(conversation.side(row), bytes).mid(3)), this);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text->setWordWrapMode(QTextOption::WrapAnywhere);
    layout->addWidget(text, 1);

    layout->addWidget(new QLabel(tr("Octets :"), this));
    auto *dump = readOnlyText(QStringLiteral("txtOctets"), hexDump(withEnd), this);
    dump->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    dump->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Wide enough for a whole dump line and a scroll bar.
    dump->setMinimumWidth(qCeil(QFontMetricsF(dump->font()).horizontalAdvance(hexDump(QByteArray(16, '\0')))
                                + 2 * dump->document()->documentMargin())
                          + dump->verticalScrollBar()->sizeHint().width() + 2 * dump->frameWidth());
    layout->addWidget(dump, 2);
}

void RowDetailsDialog::onRevealToggled(bool reveal)
{
    QStringList lines = m_fields;
    if (!m_password.isEmpty())
        lines << tr("Mot de passe : %1").arg(reveal ? m_password : QString(MaskedLength, Bullet));
    m_decoded->setText(lines.join(QLatin1Char('\n')));
}
