#ifndef DRAVLIN_MEMORYHINTS_H
#define DRAVLIN_MEMORYHINTS_H

#include <QtGlobal>

// Advice to the system about memory; ignoring it is always correct, only slower.
namespace MemoryHints {

// Memory about to be filled: mapping its whole pages in one call is much
// cheaper than taking a fault on each page as bytes land.
void prepareForWriting(char *data, qsizetype bytes);

} // namespace MemoryHints

#endif
