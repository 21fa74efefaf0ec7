#include "server/pending_logins.h"

uint32_t pending_logins::find_tally(uint32_t address) const {
    for (uint32_t i = 0; i < MAX_PENDING_TOTAL; ++i) {
        if (tallies_[i].count != 0 && tallies_[i].address == address)
            return i;
    }
    return NONE;
}

uint32_t pending_logins::free_tally() const {
    for (uint32_t i = 0; i < MAX_PENDING_TOTAL; ++i) {
        if (tallies_[i].count == 0)
            return i;
    }
    return NONE;
}

uint32_t pending_logins::free_waiting() const {
    for (uint32_t i = 0; i < MAX_PENDING_TOTAL; ++i) {
        if (waiting_[i].serial == 0)
            return i;
    }
    return NONE;
}

uint32_t pending_logins::oldest_of_the_greediest() const {
    uint32_t most = 0;
    for (const tally& each : tallies_) {
        if (each.count > most)
            most = each.count;
    }
    uint32_t oldest = NONE;
    for (uint32_t i = 0; i < MAX_PENDING_TOTAL; ++i) {
        const waiting& each = waiting_[i];
        if (each.serial != 0 && tallies_[each.tally].count == most &&
            (oldest == NONE || each.serial < waiting_[oldest].serial)) {
            oldest = i;
        }
    }
    return oldest;
}

void pending_logins::drop(uint32_t slot) {
    --tallies_[waiting_[slot].tally].count;
    waiting_[slot].serial = 0;
    --total_;
}

pending_logins::verdict pending_logins::count(platform::ipv4_address address,
                                              platform::socket_handle socket, place* counted,
                                              platform::socket_handle* displaced) {
    uint32_t key = platform::ipv4_key(address);
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t own = find_tally(key);
    uint32_t held = own == NONE ? 0 : tallies_[own].count;
    if (held >= MAX_PENDING_PER_ADDRESS)
        return verdict::address_full;
    verdict result = verdict::counted;
    uint32_t slot;
    if (total_ < MAX_PENDING_TOTAL) {
        // A used slot and a used tally each stand for at least one waiting connection.
        slot = free_waiting();
    } else {
        slot = oldest_of_the_greediest();
        if (tallies_[waiting_[slot].tally].count <= held)
            return verdict::total_full;
        // Not this address's own: that one holds fewer.
        *displaced = waiting_[slot].socket;
        drop(slot);
        result = verdict::counted_in_place_of_another;
    }
    if (own == NONE) {
        own = free_tally();
        tallies_[own].address = key;
    }
    ++tallies_[own].count;
    ++total_;
    waiting_[slot] = waiting{next_serial_++, socket, own};
    *counted = place{slot, waiting_[slot].serial};
    return result;
}

bool pending_logins::release(place counted) {
    std::lock_guard<std::mutex> hold(lock_);
    if (counted.serial == 0 || waiting_[counted.slot].serial != counted.serial)
        return false;
    drop(counted.slot);
    return true;
}

uint32_t pending_logins::total() {
    std::lock_guard<std::mutex> hold(lock_);
    return total_;
}

uint32_t pending_logins::of(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t own = find_tally(platform::ipv4_key(address));
    return own == NONE ? 0 : tallies_[own].count;
}

pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address,
                                            platform::socket_handle socket, pending_login* place,
                                            platform::socket_handle* displaced) {
    pending_logins::place counted;
    *displaced = platform::INVALID_SOCKET_HANDLE;
    pending_logins::verdict verdict = counts->count(address, socket, &counted, displaced);
    if (verdict == pending_logins::verdict::counted ||
        verdict == pending_logins::verdict::counted_in_place_of_another) {
        *place = pending_login(counts, counted);
    }
    return verdict;
}
