#include "server/pending_logins.h"

#include <cstring>

namespace {
uint32_t key_of(platform::ipv4_address address) {
    uint32_t key;
    std::memcpy(&key, address.bytes, sizeof key);
    return key;
}
}  // namespace

pending_logins::slot* pending_logins::find(uint32_t address) {
    for (uint32_t i = 0; i < used_; ++i) {
        if (slots_[i].address == address)
            return &slots_[i];
    }
    return nullptr;
}

pending_logins::verdict pending_logins::count(platform::ipv4_address address) {
    uint32_t key = key_of(address);
    std::lock_guard<std::mutex> hold(lock_);
    if (total_ >= MAX_PENDING_TOTAL)
        return verdict::total_full;
    slot* entry = find(key);
    if (entry && entry->count >= MAX_PENDING_PER_ADDRESS)
        return verdict::address_full;
    if (!entry) {
        // Every used slot counts at least one connection, so there is room while the total is
        // under its cap.
        entry = &slots_[used_++];
        *entry = slot{key, 0};
    }
    ++entry->count;
    ++total_;
    return verdict::counted;
}

void pending_logins::release(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(lock_);
    slot* entry = find(key_of(address));
    if (!entry)
        return;
    --total_;
    if (--entry->count == 0)
        *entry = slots_[--used_];
}

uint32_t pending_logins::total() {
    std::lock_guard<std::mutex> hold(lock_);
    return total_;
}

uint32_t pending_logins::of(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(lock_);
    slot* entry = find(key_of(address));
    return entry ? entry->count : 0;
}

pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address, pending_login* place) {
    pending_logins::verdict verdict = counts->count(address);
    if (verdict == pending_logins::verdict::counted)
        *place = pending_login(counts, address);
    return verdict;
}
