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
    return QLatin1Char('x') + QString::number(uint(c), 16).toUpper();
}
