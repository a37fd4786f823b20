#include "MemoryHints.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace MemoryHints {

namespace {

quintptr roundDown(quintptr address, quintptr unit)
{
    return address & ~(unit - 1);
}

quintptr roundUp(quintptr address, quintptr unit)
{
    return roundDown(address + unit - 1, unit);
}

// Maps the whole small pages of [begin, end) at once rather than one fault each.
void populate(quintptr begin, quintptr end, quintptr page)
{
#ifdef MADV_POPULATE_WRITE
    begin = roundUp(begin, page);
    end = roundDown(end, page);
    // A kernel without the advice (before 5.14) refuses it: the pages are
    // then mapped one fault at a time, as they would be anyway.
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    Q_UNUSED(begin);
    Q_UNUSED(end);
    Q_UNUSED(page);
#endif
}

// Linux accepts the advice even where large pages are switched off, and then
// maps small pages one fault at a time: mapping them all at once is better.
bool largePagesOff()
{
    const int fd = open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char setting[64] = {};
    const ssize_t n = read(fd, setting, sizeof setting - 1);
    close(fd);
    return n > 0 && std::strstr(setting, "[never]") != nullptr;
}

} // namespace

char *largePageStart(char *data)
{
    const auto address = reinterpret_cast<quintptr>(data);
    return data + (roundUp(address, quintptr(LargePage)) - address);
}

void prepareForWriting(char *data, qsizetype bytes)
{
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || bytes <= 0)
        return;
    const auto begin = reinterpret_cast<quintptr>(data);
    const quintptr end = begin + static_cast<quintptr>(bytes);
    quintptr largeBegin = roundUp(begin, quintptr(LargePage));
    quintptr largeEnd = roundDown(end, quintptr(LargePage));
#ifdef MADV_HUGEPAGE
    // Refused where large pages are off or unknown: the span is then mapped
    // like the ends.
    if (largeEnd <= largeBegin || largePagesOff()
        || madvise(reinterpret_cast<void *>(largeBegin), largeEnd - largeBegin, MADV_HUGEPAGE) != 0)
        largeBegin = largeEnd = end;
#else
    largeBegin = largeEnd = end;
#endif
    populate(begin, largeBegin, static_cast<quintptr>(page));
    populate(largeEnd, end, static_cast<quintptr>(page));
}

void prepareAndMap(char *data, qsizetype bytes)
{
    prepareForWriting(data, bytes);
    const auto begin = reinterpret_cast<quintptr>(data);
    populate(roundUp(begin, quintptr(LargePage)), roundDown(begin + static_cast<quintptr>(bytes), quintptr(LargePage)),
             quintptr(LargePage));
}

} // namespace MemoryHints
