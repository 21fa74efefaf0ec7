#include <windows.h>

#include <string>

#include "platform/registry.h"

namespace platform {

static_assert(REGISTRY_SZ == REG_SZ, "value type numbers are the registry's own");
static_assert(REGISTRY_BINARY == REG_BINARY, "value type numbers are the registry's own");

namespace {

HKEY handle_of(const registry_key& key) {
    return static_cast<HKEY>(key.raw());
}

}  // namespace

namespace detail {

void registry_close_raw(void* raw) {
    RegCloseKey(static_cast<HKEY>(raw));
}

}  // namespace detail

int registry_open_read(const char* path, registry_key* key) {
    key->close();
    if (detail::registry_should_fail(registry_call::open_read))
        return 0;
    std::string full;
    if (!detail::registry_path(path, &full))
        return 0;
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return 0;
    key->reset(raw);
    return 1;
}

int registry_create(const char* path, registry_key* key) {
    key->close();
    if (detail::registry_should_fail(registry_call::create))
        return 0;
    std::string full;
    if (!detail::registry_path(path, &full))
        return 0;
    HKEY raw = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
        return 0;
    }
    key->reset(raw);
    return 1;
}

int registry_query(const registry_key& key, const char* name, void* buffer, uint32_t* length,
                   uint32_t* type) {
    if (!key || detail::registry_should_fail(registry_call::query))
        return 0;
    DWORD size = *length;
    DWORD value_type = 0;
    // ERROR_MORE_DATA (data longer than the buffer) is a failure like any other.
    if (RegQueryValueExA(handle_of(key), name, nullptr, &value_type, static_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
        return 0;
    }
    if (buffer && size > *length)
        return 0;
    *length = size;
    if (type)
        *type = value_type;
    return 1;
}

int registry_value_exists(const registry_key& key, const char* name) {
    if (!key || detail::registry_should_fail(registry_call::query))
        return 0;
    return RegQueryValueExA(handle_of(key), name, nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}

int registry_set(const registry_key& key, const char* name, uint32_t type, const void* data,
                 uint32_t length) {
    if (!key || detail::registry_should_fail(registry_call::set))
        return 0;
    return RegSetValueExA(handle_of(key), name, 0, type, static_cast<const BYTE*>(data), length) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}

int registry_delete_value(const registry_key& key, const char* name) {
    if (!key || detail::registry_should_fail(registry_call::delete_value))
        return 0;
    return RegDeleteValueA(handle_of(key), name) == ERROR_SUCCESS ? 1 : 0;
}

int registry_delete_key(const char* path) {
    if (detail::registry_should_fail(registry_call::delete_key))
        return 0;
    std::string full;
    if (!detail::registry_path(path, &full))
        return 0;
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, full.c_str()) == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace platform
