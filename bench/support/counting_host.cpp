#include "bench/support/counting_host.h"

#include <cstdint>
#include <cstring>

#include "bench/support/arrival_counter.h"
#include "module/host_record.h"

namespace {

int32_t QVL_STDCALL count_event(const char* event_text, const uint8_t*, int32_t, int32_t) {
    if (event_text && event_text[0] == BENCH_EVENT_MARK)
        arrivals_add(1);
    return 1;
}

}  // namespace

int counting_host_install() {
    uint8_t record[HOST_RECORD_SIZE];
    host_record_compose(record, nullptr, count_event);
    return host_record_store(record);
}
