#include "MemoryHints.h"

#include <sys/mman.h>
#include <unistd.h>

namespace MemoryHints {

void prepareForWriting(char *data, qsizetype bytes)
{
#ifdef MADV_POPULATE_WRITE
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0)
        return;
    const auto pageSize = static_cast<quintptr>(page);
    const auto begin = reinterpret_cast<quintptr>(data);
    const quintptr first = (begin + pageSize - 1) & ~(pageSize - 1);
    const quintptr end = (begin + static_cast<quintptr>(bytes)) & ~(pageSize - 1);
    // A kernel without the advice (before 5.14) refuses it: the pages are
    // then mapped one fault at a time, as they would be anyway.
    if (end > first)
        madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE);
#else
    Q_UNUSED(data);
    Q_UNUSED(bytes);
#endif
}

} // namespace MemoryHints
