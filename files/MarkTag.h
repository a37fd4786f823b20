#ifndef DRAVLIN_MARKTAG_H
#define DRAVLIN_MARKTAG_H

#include "RelayEvent.h"

#include <QByteArray>
#include <QByteArrayView>

// The head of a written mark that programs read: "[kind key=value ...]",
// every fact the event needs to be rebuilt, in words no translation
// touches. The words after it are for people and may be in any language.
//
// Values are percent-encoded UTF-8: a space, "]", "=", "%", a backslash, a
// control character or anything past ASCII is written %HH, so that nothing
// a peer chose (a server name, a certificate's subject) can end a value, a
// tag or the line. docs/transcript-format.md lists the kinds and keys.
class MarkTag
{
public:
    // The tag for an event that leaves a mark, else an empty array.
    static QByteArray write(const RelayEvent &event);
    // Reads the tag text opens with into *event (its kind and that kind's
    // fields; the rest left as it was). Returns how long the tag is with the
    // space after it, or 0 when text opens with no tag, or one that is not
    // whole and well formed (then *event is left as it was).
    static qsizetype read(QByteArrayView text, RelayEvent *event);
};

#endif
