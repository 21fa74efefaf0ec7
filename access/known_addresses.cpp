#include "access/known_addresses.h"

#include <mutex>

#include "module/settings.h"

namespace {

constexpr uint32_t NONE = UINT32_MAX;

// Most recently used last: the first entry is the one forgotten when the table is full.
struct table {
    std::mutex lock;
    uint32_t used = 0;
    uint32_t keys[KNOWN_ADDRESS_TABLE_SIZE];
    uint32_t generation = 0;  // of the password the addresses logged in with
};

table g_known;

// Under the lock: an address is known under the password in force only; after a change of it,
// nobody is.
void forget_all_after_a_change() {
    uint32_t current = settings_password_generation();
    if (g_known.generation != current) {
        g_known.used = 0;
        g_known.generation = current;
    }
}

uint32_t find(uint32_t key) {
    for (uint32_t i = 0; i < g_known.used; ++i) {
        if (g_known.keys[i] == key)
            return i;
    }
    return NONE;
}

void remove_at(uint32_t index) {
    for (uint32_t i = index + 1; i < g_known.used; ++i)
        g_known.keys[i - 1] = g_known.keys[i];
    --g_known.used;
}

}  // namespace

void known_addresses_note_login(platform::ipv4_address address, uint32_t generation) {
    uint32_t key = platform::ipv4_key(address);
    std::lock_guard<std::mutex> hold(g_known.lock);
    forget_all_after_a_change();
    if (generation != g_known.generation)
        return;  // proved a password that is no longer in force
    uint32_t index = find(key);
    if (index != NONE)
        remove_at(index);
    else if (g_known.used == KNOWN_ADDRESS_TABLE_SIZE)
        remove_at(0);
    g_known.keys[g_known.used++] = key;
}

void known_addresses_forget(platform::ipv4_address address) {
    uint32_t key = platform::ipv4_key(address);
    std::lock_guard<std::mutex> hold(g_known.lock);
    forget_all_after_a_change();
    uint32_t index = find(key);
    if (index != NONE)
        remove_at(index);
}

bool known_address(platform::ipv4_address address) {
    uint32_t key = platform::ipv4_key(address);
    std::lock_guard<std::mutex> hold(g_known.lock);
    forget_all_after_a_change();
    return find(key) != NONE;
}

uint32_t known_addresses_count() {
    std::lock_guard<std::mutex> hold(g_known.lock);
    forget_all_after_a_change();
    return g_known.used;
}

void known_addresses_reset() {
    std::lock_guard<std::mutex> hold(g_known.lock);
    g_known.used = 0;
}
