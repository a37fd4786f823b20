#include "RowText.h"

#include "ControlBytes.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <array>
#include <cstring>

namespace {

// Whether n bytes hold a control character, DEL, a backslash or a non-ASCII
// byte. No branch inside, so that the compiler checks many bytes at a time.
bool hasSpecial(const unsigned char *p, qsizetype n)
{
    unsigned char special = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char u = p[i];
        const unsigned char outside = static_cast<unsigned char>(u - 0x20) > 0x5e;
        special |= static_cast<unsigned char>((outside & (u != '\t')) | (u == '\\'));
    }
    return special != 0;
}

} // namespace

// Runs over every byte the console prints.
bool RowText::isPlainAscii(QByteArrayView bytes)
{
    constexpr qsizetype Stretch = 64;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype whole = bytes.size() - bytes.size() % Stretch;
    for (qsizetype at = 0; at < whole; at += Stretch) {
        if (hasSpecial(p + at, Stretch))
            return false;
    }
    return !hasSpecial(p + whole, bytes.size() - whole);
}

namespace {

constexpr bool needsEscape(char32_t c)
{
    return ControlBytes::isControl(c);
}

void appendHex(QByteArray &out, char32_t c)
{
    static const char digits[] = "0123456789abcdef";
    out.append("\\x");
    out.append(digits[(c >> 4) & 0xf]);
    out.append(digits[c & 0xf]);
}

// A row that is not UTF-8 keeps ASCII as it is and writes every other byte
// \xHH, so that a transcript read back gives the very bytes again (written as
// Latin-1 characters, E9 and C3 A9 would both be "é"). What each byte becomes
// is looked up rather than decided, since random bytes defeat branch prediction.
struct Latin1Out {
    char bytes[4];
    unsigned char length;
};

constexpr std::array<Latin1Out, 256> latin1Table()
{
    constexpr char digits[] = "0123456789abcdef";
    std::array<Latin1Out, 256> table{};
    for (unsigned u = 0; u < 256; ++u) {
        Latin1Out &o = table[u];
        if (u == '\\') {
            o = {{'\\', '\\', 0, 0}, 2};
        } else if (needsEscape(u) || u >= 0x80) {
            o = {{'\\', 'x', digits[u >> 4], digits[u & 0xf]}, 4};
        } else {
            o = {{static_cast<char>(u), 0, 0, 0}, 1};
        }
    }
    return table;
}

void appendLatin1(QByteArray &out, QByteArrayView bytes)
{
    static constexpr std::array<Latin1Out, 256> table = latin1Table();
    const qsizetype at = out.size();
    // Room for the longest form of every byte; each one is copied whole, then
    // only its own length counts.
    out.resize(at + 4 * bytes.size());
    char *p = out.data() + at;
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    // Four bytes a step: their places are known from the lengths alone, so the
    // copies do not wait on one another.
    for (; i + 4 <= n; i += 4) {
        const Latin1Out &a = table[in[i]], &b = table[in[i + 1]], &c = table[in[i + 2]], &d = table[in[i + 3]];
        const qsizetype la = a.length, lb = b.length, lc = c.length;
        std::memcpy(p, a.bytes, 4);
        std::memcpy(p + la, b.bytes, 4);
        std::memcpy(p + la + lb, c.bytes, 4);
        std::memcpy(p + la + lb + lc, d.bytes, 4);
        p += la + lb + lc + d.length;
    }
    for (; i < n; ++i) {
        const Latin1Out &o = table[in[i]];
        std::memcpy(p, o.bytes, 4);
        p += o.length;
    }
    out.truncate(p - out.constData());
}

} // namespace

QString RowText::display(QByteArrayView bytes)
{
    // A byte order mark is part of what was sent: converted, not skipped.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
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
    const char *prefix = side == Side::Client ? "C: " : "S: ";
    if (isPlainAscii(bytes)) {
        // The common case, once per row: one resize, two copies.
        const qsizetype at = out.size();
        out.resize(at + 3 + bytes.size());
        char *p = out.data() + at;
        std::memcpy(p, prefix, 3);
        if (!bytes.isEmpty())
            std::memcpy(p + 3, bytes.data(), static_cast<size_t>(bytes.size()));
        return;
    }
    out.append(prefix, 3);
    // Binary rows usually fail the UTF-8 check within a few bytes, sparing a
    // decode of the whole row.
    if (!bytes.isValidUtf8()) {
        appendLatin1(out, bytes);
        return;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        appendLatin1(out, bytes);
        return;
    }
    const QStringView view(text);
    // Text between escapes is encoded straight into out, a run at a time:
    // binary rows escape every few characters, and a string per character
    // made the console many times slower than the link it watches.
    QStringEncoder utf8(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    qsizetype runStart = 0;
    const auto appendRun = [&](qsizetype end) {
        if (end == runStart)
            return;
        const qsizetype at = out.size();
        out.resize(at + utf8.requiredSpace(end - runStart));
        const char *stop = utf8.appendToBuffer(out.data() + at, view.sliced(runStart, end - runStart));
        out.truncate(stop - out.constData());
    };
    // Surrogates never need an escape, so a pair always stays within one run.
    for (qsizetype i = 0; i < view.size(); ++i) {
        const char32_t c = view[i].unicode();
        if (c != U'\\' && !needsEscape(c))
            continue;
        appendRun(i);
        if (c == U'\\') {
            out.append("\\\\");
        } else if (c >= 0x800) {
            // A direction mark or separator: its three UTF-8 bytes, as \xHH means one byte.
            appendHex(out, 0xe0 | c >> 12);
            appendHex(out, 0x80 | ((c >> 6) & 0x3f));
            appendHex(out, 0x80 | (c & 0x3f));
        } else if (c >= 0x80) {
            // A C1 control or U+061C: its two UTF-8 bytes.
            appendHex(out, 0xc0 | c >> 6);
            appendHex(out, 0x80 | (c & 0x3f));
        } else {
            appendHex(out, c);
        }
        runStart = i + 1;
    }
    appendRun(view.size());
}

QString RowText::escaped(const QString &text)
{
    QByteArray out;
    appendTranscript(out, Side::Client, text.toUtf8());
    return QString::fromUtf8(QByteArrayView(out).sliced(3));
}
