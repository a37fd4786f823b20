#ifndef DRAVLIN_CONTROLBYTES_H
#define DRAVLIN_CONTROLBYTES_H

#include <QString>

// Which characters of a row cannot be shown as they are: C0 controls except
// TAB, DEL and the C1 controls (U+0080..U+009F), taken as code points after
// decoding. Every one of them can move a terminal's cursor or break a line.
// So can the invisible marks that turn the direction of text (U+061C,
// U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) and the line and paragraph
// separators (U+2028, U+2029): a peer could reverse what follows or forge a
// line that seems to be the other side's. The transcript writes all of them
// as \xHH of their UTF-8 bytes and the panes draw them as labelled badges;
// both ask this one place, so the two never disagree.
class ControlBytes
{
public:
    static constexpr bool isControl(char32_t c)
    {
        if (c < 0xa0)
            return (c < 0x20 && c != U'\t') || c >= 0x7f;
        return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x2028 && c <= 0x202e)
            || (c >= 0x2066 && c <= 0x2069);
    }

    // The badge text: the ASCII name for C0 and DEL ("NUL", "LF", "ESC",
    // "DEL"), the hex code for C1 ("x9B"), Unicode's short name for the
    // others ("RLO", "LS"); empty for anything else.
    static QString label(char32_t c);
};

#endif
