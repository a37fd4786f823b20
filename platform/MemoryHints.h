#ifndef DRAVLIN_MEMORYHINTS_H
#define DRAVLIN_MEMORYHINTS_H

#include <QtGlobal>

// Advice to the system about memory; ignoring it is always correct, only slower.
namespace MemoryHints {

// What the system can map in one piece when asked (a PMD on x86-64 and ARM64).
constexpr qsizetype LargePage = qsizetype(2) << 20;

// The first large-page boundary at or after data.
char *largePageStart(char *data);

// Memory about to be filled. Its whole large pages are asked for as such, and
// left to be mapped as they are first written: one fault then maps 2 MiB, where
// small pages take one each, and each first touch of a page is dear (costlier
// still under a hypervisor that backs guest memory lazily). Asking the system
// to map large pages up front was measured slower than letting them fault.
// The small pages at either end are mapped in one call.
void prepareForWriting(char *data, qsizetype bytes);
// The same, every page then mapped at once: for memory made ready ahead of
// time, off the thread that will fill it, which then takes no fault at all.
void prepareAndMap(char *data, qsizetype bytes);

} // namespace MemoryHints

#endif
