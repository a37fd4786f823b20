#include "ControlBytes.h"

QString ControlBytes::label(char32_t c)
{
    static const char *const c0[] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                     "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                     "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                     "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    if (!isControl(c))
        return QString();
    if (c < 0x20)
        return QString::fromLatin1(c0[c]);
    if (c == 0x7f)
        return QStringLiteral("DEL");
    static const struct {
        char32_t c;
        const char *name;
    } marks[] = {{0x061c, "ALM"}, {0x200e, "LRM"}, {0x200f, "RLM"}, {0x2028, "LS"},  {0x2029, "PS"},
                 {0x202a, "LRE"}, {0x202b, "RLE"}, {0x202c, "PDF"}, {0x202d, "LRO"}, {0x202e, "RLO"},
                 {0x2066, "LRI"}, {0x2067, "RLI"}, {0x2068, "FSI"}, {0x2069, "PDI"}};
    for (const auto &mark : marks)
        if (mark.c == c)
            return QString::fromLatin1(mark.name);
    return QLatin1Char('x') + QString::number(uint(c), 16).toUpper();
}
