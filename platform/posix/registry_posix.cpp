// The native stand-in for the registry: a tree of keys held in memory for the life of the
// process, so the settings store's algorithms run unchanged in native tests. One lock guards
// the whole tree; every call holds it for its whole duration.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace platform {

namespace {

struct fake_value {
    uint32_t type = 0;
    std::vector<unsigned char> data;
};

struct fake_key {
    std::map<std::string, fake_value> values;  // by lower-case name
    bool deleted = false;
};

// What a registry_key holds natively.
struct fake_handle {
    std::shared_ptr<fake_key> key;
    bool writable = false;
};

std::mutex g_tree_lock;
std::map<std::string, std::shared_ptr<fake_key>> g_keys;  // by normalised full path

std::string lower(const char* text) {
    std::string result = text ? text : "";
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

// The path in lower case without empty components; false for a path the registry refuses
// (none, empty, or starting with '\').
bool normalise(const char* path, std::string* out) {
    if (!path || path[0] == '\0' || path[0] == '\\')
        return false;
    std::string text = lower(path);
    out->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\\', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start) {
            if (!out->empty())
                out->push_back('\\');
            out->append(text, start, end - start);
        }
        start = end + 1;
    }
    return !out->empty();
}

bool has_subkeys(const std::string& path) {
    std::string prefix = path + '\\';
    auto next = g_keys.lower_bound(prefix);
    return next != g_keys.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

// The live key behind an open handle, or null when it has been deleted since.
fake_key* live_key(const registry_key& key, bool for_writing) {
    auto* handle = static_cast<fake_handle*>(key.raw());
    if (!handle || handle->key->deleted)
        return nullptr;
    if (for_writing && !handle->writable)
        return nullptr;
    return handle->key.get();
}

// The stand-in allocates; running out of memory is a plain failure of the call, as any
// other failure of the registry.
template <typename Body>
int guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// The tree's name of a key below the plug-in's root, or 0 when the call is to fail: by
// injection, for a missing or malformed path, or for want of memory.
int tree_path(registry_call call, const char* path, std::string* normal) {
    std::string full;
    return !detail::registry_should_fail(call) && path && detail::registry_path(path, &full) &&
           normalise(full.c_str(), normal);
}

}  // namespace

namespace detail {

void registry_close_raw(void* raw) {
    std::lock_guard<std::mutex> hold(g_tree_lock);
    delete static_cast<fake_handle*>(raw);
}

}  // namespace detail

int registry_open_read(const char* path, registry_key* key) {
    return guarded([&]() -> int {
        key->close();
        std::string normal;
        if (!tree_path(registry_call::open_read, path, &normal))
            return 0;
        std::lock_guard<std::mutex> hold(g_tree_lock);
        auto found = g_keys.find(normal);
        if (found == g_keys.end())
            return 0;
        key->reset(new fake_handle{found->second, false});
        return 1;
    });
}

int registry_create(const char* path, registry_key* key) {
    return guarded([&]() -> int {
        key->close();
        std::string normal;
        if (!tree_path(registry_call::create, path, &normal))
            return 0;
        std::lock_guard<std::mutex> hold(g_tree_lock);
        // Every missing parent is created along with the key.
        size_t end = 0;
        std::shared_ptr<fake_key> made;
        do {
            end = normal.find('\\', end + 1);
            std::string part = normal.substr(0, end);
            auto found = g_keys.find(part);
            if (found == g_keys.end())
                found = g_keys.emplace(part, std::make_shared<fake_key>()).first;
            made = found->second;
        } while (end != std::string::npos);
        key->reset(new fake_handle{made, true});
        return 1;
    });
}

int registry_query(const registry_key& key, const char* name, void* buffer, uint32_t* length,
                   uint32_t* type) {
    return guarded([&]() -> int {
        if (!key || detail::registry_should_fail(registry_call::query))
            return 0;
        std::lock_guard<std::mutex> hold(g_tree_lock);
        fake_key* live = live_key(key, false);
        if (!live)
            return 0;
        auto found = live->values.find(lower(name));
        if (found == live->values.end())
            return 0;
        const std::vector<unsigned char>& data = found->second.data;
        if (buffer) {
            if (data.size() > *length) {
                *length = static_cast<uint32_t>(data.size());  // what ERROR_MORE_DATA reports
                return 0;
            }
            if (!data.empty())
                std::memcpy(buffer, data.data(), data.size());
        }
        *length = static_cast<uint32_t>(data.size());
        if (type)
            *type = found->second.type;
        return 1;
    });
}

int registry_value_exists(const registry_key& key, const char* name) {
    return guarded([&]() -> int {
        if (!key || detail::registry_should_fail(registry_call::query))
            return 0;
        std::lock_guard<std::mutex> hold(g_tree_lock);
        fake_key* live = live_key(key, false);
        return live && live->values.count(lower(name)) ? 1 : 0;
    });
}

int registry_set(const registry_key& key, const char* name, uint32_t type, const void* data,
                 uint32_t length) {
    return guarded([&]() -> int {
        if (!key || detail::registry_should_fail(registry_call::set))
            return 0;
        if (length > 0 && !data)
            return 0;
        std::lock_guard<std::mutex> hold(g_tree_lock);
        fake_key* live = live_key(key, true);
        if (!live)
            return 0;
        const auto* bytes = static_cast<const unsigned char*>(data);
        std::vector<unsigned char> stored(bytes, bytes + length);
        fake_value& value = live->values[lower(name)];
        value.type = type;
        value.data.swap(stored);
        return 1;
    });
}

int registry_delete_value(const registry_key& key, const char* name) {
    return guarded([&]() -> int {
        if (!key || detail::registry_should_fail(registry_call::delete_value))
            return 0;
        std::lock_guard<std::mutex> hold(g_tree_lock);
        fake_key* live = live_key(key, true);
        return live && live->values.erase(lower(name)) ? 1 : 0;
    });
}

int registry_delete_key(const char* path) {
    return guarded([&]() -> int {
        std::string normal;
        if (!tree_path(registry_call::delete_key, path, &normal))
            return 0;
        std::lock_guard<std::mutex> hold(g_tree_lock);
        auto found = g_keys.find(normal);
        if (found == g_keys.end() || has_subkeys(normal))
            return 0;
        found->second->deleted = true;
        g_keys.erase(found);
        return 1;
    });
}

void registry_fake_clear() {
    {
        std::lock_guard<std::mutex> hold(g_tree_lock);
        for (auto& entry : g_keys)
            entry.second->deleted = true;
        g_keys.clear();
    }
    registry_fail_reset();
}

}  // namespace platform
