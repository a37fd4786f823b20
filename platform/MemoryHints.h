#ifndef DRAVLIN_MEMORYHINTS_H
#define DRAVLIN_MEMORYHINTS_H

#include <QtGlobal>

// Advice to the system about memory; ignoring it is always correct, only slower.
namespace MemoryHints {

// Memory about to be filled: its whole pages are mapped in one call rather
// than one fault each, so memory made ready ahead of time, off the thread
// that will fill it, costs that thread no fault at all.
//
// Small pages on purpose. Large ones were asked for before, and measured
// twice as dear on a virtual machine whose host takes back the guest's free
// memory in large blocks (free page reporting): a fresh large page is then
// always one the host must fault in and zero anew, where small pages mostly
// come from memory freed moments ago.
void mapAhead(char *data, qsizetype bytes);

} // namespace MemoryHints

#endif
