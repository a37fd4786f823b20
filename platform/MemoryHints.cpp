#include "MemoryHints.h"

#include <sys/mman.h>
#include <unistd.h>

namespace MemoryHints {

void mapAhead(char *data, qsizetype bytes)
{
#ifdef MADV_POPULATE_WRITE
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || bytes <= 0)
        return;
    const auto unit = static_cast<quintptr>(page);
    const auto address = reinterpret_cast<quintptr>(data);
    const quintptr begin = (address + unit - 1) & ~(unit - 1);
    const quintptr end = (address + static_cast<quintptr>(bytes)) & ~(unit - 1);
    // A kernel without the advice (before 5.14) refuses it: the pages are
    // then mapped one fault at a time, as they would be anyway.
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    Q_UNUSED(data);
    Q_UNUSED(bytes);
#endif
}

} // namespace MemoryHints
