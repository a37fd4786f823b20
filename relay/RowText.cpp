#include "RowText.h"

#include <QStringDecoder>

namespace {

bool isPlainAscii(QByteArrayView bytes)
{
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u >= 0x7f || u == '\\')
            return false;
    }
    return true;
}

bool needsEscape(char32_t c)
{
    // C0, DEL and C1: all of them can steer a terminal (ESC, CSI 0x9B, ...).
    return (c < 0x20 && c != U'\t') || (c >= 0x7f && c < 0xa0);
}

void appendHex(QByteArray &out, char32_t c)
{
    static const char digits[] = "0123456789abcdef";
    out.append("\\x");
    out.append(digits[(c >> 4) & 0xf]);
    out.append(digits[c & 0xf]);
}

} // namespace

QString RowText::display(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

QByteArray RowText::transcript(Side side, QByteArrayView bytes)
{
    QByteArray out;
    appendTranscript(out, side, bytes);
    return out;
}

void RowText::appendTranscript(QByteArray &out, Side side, QByteArrayView bytes)
{
    out.append(side == Side::Client ? "C: " : "S: ");
    if (isPlainAscii(bytes)) {
        out.append(bytes);
        return;
    }
    const QString text = display(bytes);
    const QStringView view(text);
    for (qsizetype i = 0; i < view.size(); ++i) {
        if (view[i].isHighSurrogate() && i + 1 < view.size() && view[i + 1].isLowSurrogate()) {
            out.append(view.sliced(i, 2).toUtf8());
            ++i;
            continue;
        }
        const char32_t c = view[i].unicode();
        if (c == U'\\')
            out.append("\\\\");
        else if (needsEscape(c))
            appendHex(out, c);
        else
            out.append(view.sliced(i, 1).toUtf8());
    }
}
