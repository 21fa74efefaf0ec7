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

}  // namespace platform
