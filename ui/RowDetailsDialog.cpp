#include "RowDetailsDialog.h"

#include "LineCapture.h"

#include "AuthExchange.h"
#include "Conversation.h"
#include "EventText.h"
#include "RowText.h"
#include "SessionMarks.h"
#include "Transcript.h"

#include <QCheckBox>
#include <QDialogButtonBox>
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
    const bool client = conversation.side(row) == Side::Client;
    setWindowTitle(tr("Détails de la ligne %1").arg(QLocale(QLocale::French).toString(row + 1)));
    // A mark is shown as written.
    const QByteArray markText = conversation.isMarker(row) ? SessionMarks::utf8(conversation.mark(row)) : QByteArray();
    const QByteArrayView whole = conversation.isMarker(row) ? QByteArrayView(markText) : conversation.bytes(row);
    // A mark read from a file may be of any length; rows are at most a
    // capture row. Beyond that the dialog would take seconds to lay out.
    const QByteArrayView bytes = whole.first(std::min(whole.size(), LineCapture::MaxRowBytes));

    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    layout->addLayout(form);
    const auto addField = [&](const QString &caption, const QString &name, const QString &text) {
        auto *value = new QLabel(text, this);
        value->setTextFormat(Qt::PlainText);
        value->setObjectName(name);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(caption, value);
        return value;
    };
    addField(tr("Envoyée par :"), QStringLiteral("lblCote"),
             client ? tr("le client") : tr("le serveur"));
    addField(tr("Longueur :"), QStringLiteral("lblLongueur"),
             EventText::bytes(whole.size())
                 + (bytes.size() < whole.size()
                        ? tr(" (les %1 premiers montrés)").arg(Transcript::countText(bytes.size()))
                        : QString()));
    addField(tr("Arrivée :"), QStringLiteral("lblArrivee"), conversation.arrivalText(row));
    // Among several clients served at once, whose dialogue it is.
    if (const int session = conversation.session(row))
        addField(tr("Session :"), QStringLiteral("lblSession"), QStringLiteral("#%1").arg(session));

    const AuthExchange auth = AuthExchange::read(conversation, row);
    if (auth.found) {
        m_fields = auth.fields;
        m_password = auth.password;
        m_decoded = addField(tr("Base64 décodé :"), QStringLiteral("lblDecode"), QString());
        if (!m_password.isEmpty()) {
            m_reveal = new QCheckBox(tr("Afficher le mot de passe"), this);
            m_reveal->setObjectName(QStringLiteral("chkMotDePasse"));
            connect(m_reveal, &QCheckBox::toggled, this, &RowDetailsDialog::onRevealToggled);
            form->addRow(QString(), m_reveal);
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
    auto *dump = readOnlyText(QStringLiteral("txtOctets"), hexDump(bytes), this);
    dump->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    dump->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Wide enough for a whole dump line and a scroll bar.
    dump->setMinimumWidth(qCeil(QFontMetricsF(dump->font()).horizontalAdvance(hexDump(QByteArray(16, '\0')))
                                + 2 * dump->document()->documentMargin())
                          + dump->verticalScrollBar()->sizeHint().width() + 2 * dump->frameWidth());
    layout->addWidget(dump, 2);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(sizeHint().expandedTo(QSize(0, 560)));
}

void RowDetailsDialog::onRevealToggled(bool reveal)
{
    QStringList lines = m_fields;
    if (!m_password.isEmpty())
        lines << tr("Mot de passe : %1").arg(reveal ? m_password : QString(MaskedLength, Bullet));
    m_decoded->setText(lines.join(QLatin1Char('\n')));
}
