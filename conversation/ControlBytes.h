#ifndef DRAVLIN_CONTROLBYTES_H
#define DRAVLIN_CONTROLBYTES_H

#include <QString>

// Which characters of a row cannot be shown as they are: C0 controls except
// TAB, DEL and the C1 controls (U+0080..U+009F), taken as code points after
// decoding. Every one of them can move a terminal's cursor or break a line,
// so the transcript writes them as \xHH and the panes draw them as labelled
// badges; both ask this one place, so the two never disagree.
class ControlBytes
{
public:
    static constexpr bool isControl(char32_t c)
    {
        return (c < 0x20 && c != U'\t') || (c >= 0x7f && c < 0xa0);
    }

    // The badge text: the ASCII name for C0 and DEL ("NUL", "LF", "ESC",
    // "DEL"), the hex code for C1 ("x9B"); empty for anything else.
    static QString label(char32_t c);
};

#endif
