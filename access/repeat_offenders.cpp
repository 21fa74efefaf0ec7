#include "access/repeat_offenders.h"

#include <cstring>
#include <mutex>

#include "platform/tick.h"

namespace {

constexpr uint32_t NONE = UINT32_MAX;

// The failures still inside the window, oldest first; the one that makes them
// REPEAT_OFFENDER_FAILURES starts the refusal instead of being kept.
struct record {
    uint32_t failure_ticks[REPEAT_OFFENDER_FAILURES - 1];
    uint32_t failures;
    bool refused;
    uint32_t refused_since;
};

struct table {
    std::mutex lock;
    uint32_t used = 0;
    // The keys apart from the records, so a look-up reads them alone.
    uint32_t keys[REPEAT_OFFENDER_TABLE_SIZE];
    record records[REPEAT_OFFENDER_TABLE_SIZE];
};

table g_table;

uint32_t find(uint32_t key) {
    for (uint32_t i = 0; i < g_table.used; ++i) {
        if (g_table.keys[i] == key)
            return i;
    }
    return NONE;
}

void forget(uint32_t index) {
    uint32_t last = --g_table.used;
    g_table.keys[index] = g_table.keys[last];
    g_table.records[index] = g_table.records[last];
}

bool under_refusal(record& entry, uint32_t now) {
    if (entry.refused && now - entry.refused_since >= REPEAT_OFFENDER_REFUSAL_MS)
        entry = record{};  // served its time: starts afresh
    return entry.refused;
}

void drop_expired(record& entry, uint32_t now) {
    uint32_t expired = 0;
    while (expired < entry.failures &&
           now - entry.failure_ticks[expired] >= REPEAT_OFFENDER_WINDOW_MS) {
        ++expired;
    }
    if (expired == 0)
        return;
    entry.failures -= expired;
    std::memmove(entry.failure_ticks, entry.failure_ticks + expired,
                 entry.failures * sizeof entry.failure_ticks[0]);
}

// How readily a record is forgotten when the table is full, the smallest first: one with no
// failure left in its window and no refusal running, then the one with the fewest failures
// and, among those, the oldest last failure; one under refusal only when all are, the one
// whose refusal ends first. So fresh addresses failing once each never free a refused one.
struct eviction_rank {
    enum state { spent, failing, refused } kind;  // in the order they are forgotten
    uint32_t failures;
    uint32_t age;  // since the last failure, or since the refusal began

    bool before(const eviction_rank& other) const {
        if (kind != other.kind)
            return kind < other.kind;
        if (failures != other.failures)
            return failures < other.failures;
        return age > other.age;
    }
};

eviction_rank rank_of(record entry, uint32_t now) {
    if (under_refusal(entry, now))
        return {eviction_rank::refused, 0, now - entry.refused_since};
    drop_expired(entry, now);
    if (entry.failures == 0)
        return {eviction_rank::spent, 0, 0};
    return {eviction_rank::failing, entry.failures, now - entry.failure_ticks[entry.failures - 1]};
}

uint32_t remember(uint32_t key, uint32_t now) {
    if (g_table.used == REPEAT_OFFENDER_TABLE_SIZE) {
        uint32_t chosen = 0;
        eviction_rank best = rank_of(g_table.records[0], now);
        for (uint32_t i = 1; i < g_table.used && best.kind != eviction_rank::spent; ++i) {
            eviction_rank rank = rank_of(g_table.records[i], now);
            if (rank.before(best)) {
                best = rank;
                chosen = i;
            }
        }
        forget(chosen);
    }
    uint32_t index = g_table.used++;
    g_table.keys[index] = key;
    g_table.records[index] = record{};
    return index;
}

}  // namespace

bool repeat_offenders_count_answer(platform::ipv4_address address) {
    uint32_t key = platform::ipv4_key(address);
    std::lock_guard<std::mutex> hold(g_table.lock);
    uint32_t now = platform::tick_count();
    uint32_t index = find(key);
    if (index == NONE)
        index = remember(key, now);
    record& entry = g_table.records[index];
    if (under_refusal(entry, now))
        return false;
    drop_expired(entry, now);
    if (entry.failures + 1 < REPEAT_OFFENDER_FAILURES) {
        entry.failure_ticks[entry.failures++] = now;
    } else {
        entry.refused = true;
        entry.refused_since = now;
    }
    return true;
}

void repeat_offenders_take_back(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(g_table.lock);
    uint32_t index = find(platform::ipv4_key(address));
    if (index == NONE)
        return;
    record& entry = g_table.records[index];
    if (entry.refused) {
        entry.refused = false;
    } else if (entry.failures > 0) {
        --entry.failures;
    }
}

void repeat_offenders_note_success(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(g_table.lock);
    uint32_t index = find(platform::ipv4_key(address));
    if (index != NONE)
        forget(index);
}

bool repeat_offenders_refuse(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(g_table.lock);
    uint32_t index = find(platform::ipv4_key(address));
    return index != NONE && under_refusal(g_table.records[index], platform::tick_count());
}

uint32_t repeat_offenders_failures(platform::ipv4_address address) {
    std::lock_guard<std::mutex> hold(g_table.lock);
    uint32_t index = find(platform::ipv4_key(address));
    if (index == NONE)
        return 0;
    eviction_rank rank = rank_of(g_table.records[index], platform::tick_count());
    return rank.kind == eviction_rank::refused ? REPEAT_OFFENDER_FAILURES : rank.failures;
}

uint32_t repeat_offenders_remembered() {
    std::lock_guard<std::mutex> hold(g_table.lock);
    return g_table.used;
}

void repeat_offenders_reset() {
    std::lock_guard<std::mutex> hold(g_table.lock);
    g_table.used = 0;
}
