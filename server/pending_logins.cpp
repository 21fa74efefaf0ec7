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

uint32_t pending_logins::free_slot() const {
    for (uint32_t i = 0; i < SLOTS; ++i) {
        if (slots_[i].serial == 0)
            return i;
    }
    return NONE;
}

uint32_t pending_logins::oldest_of_the_greediest(connection_id from) const {
    uint32_t most = 0;
    for (const waiting& each : slots_) {
        if (each.serial != 0 && each.tally != NONE && each.connection >= from &&
            tallies_[each.tally].count > most)
            most = tallies_[each.tally].count;
    }
    uint32_t oldest = NONE;
    for (uint32_t i = 0; i < SLOTS; ++i) {
        const waiting& each = slots_[i];
        if (each.serial != 0 && each.tally != NONE && each.connection >= from &&
            tallies_[each.tally].count == most &&
            (oldest == NONE || each.serial < slots_[oldest].serial)) {
            oldest = i;
        }
    }
    return oldest;
}

bool pending_logins::holds(place counted) const {
    return counted.serial != 0 && slots_[counted.slot].serial == counted.serial;
}

pending_logins::verdict pending_logins::count(platform::ipv4_address address,
                                              connection_id connection, bool may_displace,
                                              connection_id unstarted_from, place* counted,
                                              connection_id* displaced) {
    uint32_t key = platform::ipv4_key(address);
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t own = find_tally(key);
    uint32_t held = own == NONE ? 0 : tallies_[own].count;
    if (held >= MAX_PENDING_PER_ADDRESS)
        return verdict::address_full;
    verdict result = verdict::counted;
    if (total_ >= MAX_PENDING_TOTAL) {
        if (!may_displace)
            return verdict::total_full;
        uint32_t oldest = oldest_of_the_greediest(0);
        // While every place for those being ended is taken, only a connection that has no
        // thread yet can give way: the caller closes it at once.
        connection_id unstarted = unstarted_from == NO_CONNECTION ? UINT64_MAX : unstarted_from;
        if (ending_ >= MAX_PENDING_ENDING && slots_[oldest].connection < unstarted) {
            oldest = oldest_of_the_greediest(unstarted);
            if (oldest == NONE)
                return verdict::total_full;
        }
        waiting& giving_way = slots_[oldest];
        if (tallies_[giving_way.tally].count <= held)
            return verdict::total_full;
        // Not this address's own: that one holds fewer. Its tally stops counting it (one
        // that falls to 0 is free for the newcomer's address).
        --tallies_[giving_way.tally].count;
        giving_way.tally = NONE;
        --total_;
        ++ending_;
        *displaced = giving_way.connection;
        result = verdict::counted_in_place_of_another;
    }
    if (own == NONE) {
        // At most MAX_PENDING_TOTAL - 1 wait here, each tally standing for one at least.
        own = free_tally();
        tallies_[own].address = key;
    }
    // Waiting and ending together hold fewer than SLOTS here.
    uint32_t slot = free_slot();
    ++tallies_[own].count;
    ++total_;
    slots_[slot] = waiting{next_serial_++, connection, own};
    *counted = place{slot, slots_[slot].serial};
    return result;
}

bool pending_logins::settle(place counted, bool logged_in) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!holds(counted))
        return false;
    waiting& slot = slots_[counted.slot];
    bool waited = slot.tally != NONE;
    if (!waited && logged_in)
        return false;  // kept until the connection has gone
    if (waited) {
        --tallies_[slot.tally].count;
        --total_;
    } else {
        --ending_;
    }
    slot.serial = 0;
    return waited;
}

bool pending_logins::given_way(place counted) {
    std::lock_guard<std::mutex> hold(lock_);
    return holds(counted) && slots_[counted.slot].tally == NONE;
}

uint32_t pending_logins::total() {
    std::lock_guard<std::mutex> hold(lock_);
    return total_;
}

uint32_t pending_logins::ending() {
    std::lock_guard<std::mutex> hold(lock_);
    return ending_;
}

uint32_t pending_logins::of(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t own = find_tally(platform::ipv4_key(address));
    return own == NONE ? 0 : tallies_[own].count;
}

pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address,
                                            connection_id connection, bool may_displace,
                                            connection_id unstarted_from, pending_login* place,
                                            connection_id* displaced) {
    pending_logins::place counted;
    *displaced = NO_CONNECTION;
    pending_logins::verdict verdict =
        counts->count(address, connection, may_displace, unstarted_from, &counted, displaced);
    if (verdict == pending_logins::verdict::counted ||
        verdict == pending_logins::verdict::counted_in_place_of_another) {
        *place = pending_login(counts, counted);
    }
    return verdict;
}
