#include "server/pending_logins.h"

#include "access/known_addresses.h"
#include "module/settings.h"

uint32_t pending_logins::find_tally(uint32_t address) const {
    for (uint32_t i = 0; i < MAX_PENDING_WAITING; ++i) {
        if (tallies_[i].count != 0 && tallies_[i].address == address)
            return i;
    }
    return NONE;
}

uint32_t pending_logins::free_tally() const {
    for (uint32_t i = 0; i < MAX_PENDING_WAITING; ++i) {
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

uint32_t pending_logins::oldest_of_the_greediest_unknown(bool without_thread) const {
    uint32_t most = 0;
    uint32_t oldest = NONE;
    for (uint32_t i = 0; i < SLOTS; ++i) {
        const waiting& each = slots_[i];
        if (each.serial == 0 || each.tally == NONE || tallies_[each.tally].known ||
            (without_thread && each.has_thread))
            continue;
        uint32_t held = tallies_[each.tally].count;
        if (held > most || (held == most && each.serial < slots_[oldest].serial)) {
            most = held;
            oldest = i;
        }
    }
    return oldest;
}

uint32_t pending_logins::displaceable(uint32_t slot, bool known, uint32_t held) const {
    return slot != NONE && (known || tallies_[slots_[slot].tally].count > held) ? slot : NONE;
}

bool pending_logins::holds(place counted) const {
    return counted.serial != 0 && slots_[counted.slot].serial == counted.serial;
}

void pending_logins::leave_tally(waiting& each) {
    tally& own = tallies_[each.tally];
    --own.count;  // one that falls to 0 is free
    own.reserve_places -= each.reserve_place ? 1 : 0;
    own.reserve_threads -= each.reserve_thread ? 1 : 0;
    --total_;
    each.tally = NONE;
}

void pending_logins::follow_password(uint32_t generation) {
    if (generation == known_generation_)
        return;
    known_generation_ = generation;
    for (tally& each : tallies_)
        each.known = false;
}

// The connection waits no more: one with a thread is being ended until it has gone, one
// without is gone at once (its holder closes it).
void pending_logins::stop_waiting_at(uint32_t slot) {
    waiting& each = slots_[slot];
    leave_tally(each);
    if (each.has_thread)
        ++ending_;
    else
        each.serial = 0;
}

pending_logins::verdict pending_logins::count(platform::ipv4_address address,
                                              connection_id connection, place* counted,
                                              displacement* displaced) {
    uint32_t key = platform::ipv4_key(address);
    uint32_t generation = settings_password_generation();
    bool known = known_address(address);
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t now = settings_password_generation();
    follow_password(now);
    known = known && now == generation;  // else known under a password no longer in force
    uint32_t own = find_tally(key);
    uint32_t held = own == NONE ? 0 : tallies_[own].count;
    if (held >= MAX_PENDING_PER_ADDRESS)
        return verdict::address_full;
    bool reserve_open =
        known && (own == NONE || tallies_[own].reserve_places < MAX_KNOWN_RESERVE_PER_ADDRESS);
    bool in_reserve = total_ >= MAX_PENDING_TOTAL && total_ < MAX_PENDING_WAITING && reserve_open;
    verdict result = verdict::counted;
    if (total_ >= MAX_PENDING_TOTAL && !in_reserve) {
        // Every thread is spoken for (each waiting connection has or will want one): one that
        // has none yet gives way first, as ending one with a thread frees nothing now.
        uint32_t oldest = NONE;
        if (total_ + ending_ >= MAX_PENDING_THREADS)
            oldest = displaceable(oldest_of_the_greediest_unknown(true), known, held);
        if (oldest == NONE)
            oldest = displaceable(oldest_of_the_greediest_unknown(false), known, held);
        if (oldest == NONE)
            return verdict::total_full;
        *displaced = displacement{slots_[oldest].connection, slots_[oldest].has_thread};
        stop_waiting_at(oldest);
        result = verdict::counted_in_place_of_another;
    }
    if (own == NONE) {
        // Fewer than MAX_PENDING_WAITING wait here, each tally standing for one at least.
        own = free_tally();
        tallies_[own] = tally{key, 0, false, 0, 0};
    }
    tallies_[own].known = known;
    // Those waiting and those being ended together hold fewer than SLOTS here.
    uint32_t slot = free_slot();
    ++tallies_[own].count;
    tallies_[own].reserve_places += in_reserve ? 1 : 0;
    ++total_;
    slots_[slot] = waiting{next_serial_++, connection, own, false, in_reserve, false};
    *counted = place{slot, slots_[slot].serial};
    return result;
}

bool pending_logins::start_thread(place counted) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!holds(counted))
        return false;
    waiting& slot = slots_[counted.slot];
    if (slot.has_thread)
        return true;
    if (slot.tally == NONE)
        return false;
    follow_password(settings_password_generation());
    tally& own = tallies_[slot.tally];
    bool reserve_open = own.known && own.reserve_threads < MAX_KNOWN_RESERVE_PER_ADDRESS;
    if (threads_ >= MAX_PENDING_THREADS + (reserve_open ? MAX_PENDING_KNOWN_RESERVE : 0))
        return false;
    if (threads_ >= MAX_PENDING_THREADS) {
        slot.reserve_thread = true;
        ++own.reserve_threads;
    }
    slot.has_thread = true;
    ++threads_;
    return true;
}

bool pending_logins::settle(place counted, bool logged_in, uint32_t generation) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!holds(counted))
        return false;
    waiting& slot = slots_[counted.slot];
    bool waited = slot.tally != NONE;
    if (!waited && logged_in)
        return false;  // kept until the connection has gone
    if (waited && logged_in) {
        follow_password(settings_password_generation());
        if (generation == known_generation_)
            tallies_[slot.tally].known = true;
    }
    if (waited) {
        leave_tally(slot);
    } else {
        --ending_;
    }
    if (slot.has_thread)
        --threads_;
    slot.serial = 0;
    return waited;
}

void pending_logins::stop_waiting(place counted) {
    std::lock_guard<std::mutex> hold(lock_);
    if (holds(counted) && slots_[counted.slot].tally != NONE)
        stop_waiting_at(counted.slot);
}

void pending_logins::forget_known(place counted) {
    std::lock_guard<std::mutex> hold(lock_);
    if (holds(counted) && slots_[counted.slot].tally != NONE)
        tallies_[slots_[counted.slot].tally].known = false;
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

uint32_t pending_logins::threads() {
    std::lock_guard<std::mutex> hold(lock_);
    return threads_;
}

uint32_t pending_logins::of(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t own = find_tally(platform::ipv4_key(address));
    return own == NONE ? 0 : tallies_[own].count;
}

pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address,
                                            connection_id connection, pending_login* place,
                                            pending_logins::displacement* displaced) {
    pending_logins::place counted;
    *displaced = pending_logins::displacement{};
    pending_logins::verdict verdict = counts->count(address, connection, &counted, displaced);
    if (verdict == pending_logins::verdict::counted ||
        verdict == pending_logins::verdict::counted_in_place_of_another) {
        *place = pending_login(counts, counted);
    }
    return verdict;
}
