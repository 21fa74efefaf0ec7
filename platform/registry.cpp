#include "platform/registry.h"

#include <cstring>
#include <mutex>
#include <new>

namespace platform {

namespace {

struct fail_countdown {
    int skip = 0;
    int count = 0;
};

std::mutex g_fail_lock;
fail_countdown g_fail[static_cast<int>(registry_call::count)];

std::mutex g_root_lock;
std::string g_root;

}  // namespace

void registry_fail_calls(registry_call call, int skip, int count) {
    std::lock_guard<std::mutex> hold(g_fail_lock);
    fail_countdown& slot = g_fail[static_cast<int>(call)];
    slot.skip = skip > 0 ? skip : 0;
    slot.count = count > 0 ? count : 0;
}

void registry_set_test_root(const char* root) {
    std::lock_guard<std::mutex> hold(g_root_lock);
    g_root = root ? root : "";
}

bool registry_fail_pending(registry_call call) {
    std::lock_guard<std::mutex> hold(g_fail_lock);
    return g_fail[static_cast<int>(call)].count > 0;
}

void registry_fail_reset() {
    std::lock_guard<std::mutex> hold(g_fail_lock);
    for (fail_countdown& slot : g_fail)
        slot = fail_countdown{};
}

namespace detail {

bool registry_should_fail(registry_call call) {
    std::lock_guard<std::mutex> hold(g_fail_lock);
    fail_countdown& slot = g_fail[static_cast<int>(call)];
    if (slot.count == 0)
        return false;
    if (slot.skip > 0) {
        --slot.skip;
        return false;
    }
    --slot.count;
    return true;
}

bool registry_path(const char* path, std::string* out) {
    try {
        {
            std::lock_guard<std::mutex> hold(g_root_lock);
            *out = g_root;
        }
        if (!out->empty())
            *out += '\\';
        *out += path ? path : "";
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace detail

registry_key& registry_key::operator=(registry_key&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

void registry_key::reset(void* raw) {
    close();
    raw_ = raw;
}

void registry_key::close() {
    if (raw_)
        detail::registry_close_raw(release());
}

int registry_read_text(const registry_key& key, const char* name, char* text, uint32_t size) {
    if (!text || size == 0)
        return 0;
    uint32_t length = size;
    if (!registry_query(key, name, text, &length, nullptr) || length > size) {
        text[0] = '\0';
        return 0;
    }
    if (std::memchr(text, '\0', length))
        return 1;
    if (length == size) {
        // The whole buffer is text and there is no room left for its terminator.
        text[0] = '\0';
        return 0;
    }
    text[length] = '\0';
    return 1;
}

int registry_read_u32le(const registry_key& key, const char* name, uint32_t* value) {
    // Zero-filled, so a value stored with fewer than 4 bytes reads as its bytes alone.
    unsigned char bytes[4] = {0, 0, 0, 0};
    uint32_t length = sizeof bytes;
    if (!registry_query(key, name, bytes, &length, nullptr) || length > sizeof bytes)
        return 0;
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return 1;
}

}  // namespace platform
