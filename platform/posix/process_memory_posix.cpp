#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "platform/process_memory.h"

namespace platform {

size_t process_resident_bytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    unsigned long size_pages = 0, resident_pages = 0;
    int read = std::fscanf(statm, "%lu %lu", &size_pages, &resident_pages);
    std::fclose(statm);
    long page_size = sysconf(_SC_PAGESIZE);
    if (read != 2 || page_size <= 0)
        return 0;
    return static_cast<size_t>(resident_pages) * static_cast<size_t>(page_size);
}

int process_free_address_space(size_t* free_bytes, size_t* largest_free) {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    unsigned long size_pages = 0;
    int read = std::fscanf(statm, "%lu", &size_pages);
    std::fclose(statm);
    long page_size = sysconf(_SC_PAGESIZE);
    if (read != 1 || page_size <= 0)
        return 0;
    size_t mapped = static_cast<size_t>(size_pages) * static_cast<size_t>(page_size);
    size_t total = static_cast<size_t>(limit.rlim_cur);
    *free_bytes = total > mapped ? total - mapped : 0;
    *largest_free = *free_bytes;
    return 1;
}

}  // namespace platform
