#include "settings/settings_store.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "access/access_list.h"
#include "module/settings.h"
#include "platform/message_box.h"
#include "platform/registry.h"

namespace {

constexpr const char* SETTINGS_KEY_PATH = "Software\\Quorvel3\\HardPlugins\\Plexador";
constexpr const char* ACCESS_LIST_KEY_PATH =
    "Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList";

constexpr const char* ALLOW_ALL_VALUE = "AllowAll";
constexpr const char* DISABLE_ABUSE_PROTECTION_VALUE = "DisableAbuseProtection";
constexpr const char* PORT_VALUE = "Port";
constexpr const char* PASSWORD_VALUE = "Password";
constexpr const char* USED_COOKIES_VALUE = "UsedCookies";

struct value_name {
    char text[32];
};

// "AccessList%03d": the rule's position from 0, at least three digits (AccessList999 is
// followed by AccessList1000).
value_name access_list_value_name(size_t position) {
    value_name name;
    std::snprintf(name.text, sizeof name.text, "AccessList%03lu",
                  static_cast<unsigned long>(position));
    return name;
}

int write_text(const platform::registry_key& key, const char* name, const char* text,
               size_t length) {
    if (length >= UINT32_MAX)
        return 0;
    // The terminating NUL is part of the stored data.
    return platform::registry_set(key, name, platform::REGISTRY_SZ, text,
                                  static_cast<uint32_t>(length + 1));
}

int write_u32le(const platform::registry_key& key, const char* name, int32_t field) {
    uint32_t value = static_cast<uint32_t>(field);
    unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return platform::registry_set(key, name, platform::REGISTRY_BINARY, bytes, sizeof bytes);
}

enum class removal { removed, absent, stuck };

// Removes a value. It deletes first and looks only when the delete failed, so a lookup that
// fails cannot keep a value that is there from being deleted.
removal remove_value(const platform::registry_key& key, const char* name) {
    if (platform::registry_delete_value(key, name))
        return removal::removed;
    return platform::registry_value_exists(key, name) ? removal::stuck : removal::absent;
}

enum class list_outcome {
    saved,         // the stored list loads as the list that was saved (or a prefix of it)
    key_failed,    // the subkey could not be created or opened: nothing was changed
    stale_remains  // a value that does not belong to the saved list could not be removed
};

// The access list is rewritten in place, not deleted and recreated: the subkey is opened (or
// created) first, so a save that cannot get at it has changed nothing and the stored list
// stays whole. A delete followed by a create that fails would lose the stored list instead.
//
// The rules are then written as AccessList000, 001, ... over the values of the same number,
// and the values from the new count upward are removed until the first number that has no
// value, so a load stops exactly after the saved list, as it would after a fresh subkey: no
// rule of an earlier, longer list is read again. A rule whose write fails has its number
// removed, so the stored list ends before it (as a gap would end it in a new subkey) instead
// of carrying the earlier rule of that number. Values that stand beyond a gap (which only an
// outside edit makes) stay, but are never reached: every save removes the number just after
// its own list.
list_outcome save_access_list(const access_rules_copy& rules) {
    platform::registry_key key;
    if (!platform::registry_create(ACCESS_LIST_KEY_PATH, &key))
        return list_outcome::key_failed;

    bool clean = true;
    for (size_t n = 0; n < rules.count(); ++n) {
        value_name name = access_list_value_name(n);
        if (!write_text(key, name.text, rules.text(n), rules.length(n))) {
            if (remove_value(key, name.text) == removal::stuck)
                clean = false;
        }
    }
    for (size_t n = rules.count();; ++n) {
        removal outcome = remove_value(key, access_list_value_name(n).text);
        if (outcome == removal::stuck)
            clean = false;
        if (outcome != removal::removed)
            break;
    }
    return clean ? list_outcome::saved : list_outcome::stale_remains;
}

// 1 when everything the user must be told about went well.
int save_all() {
    access_rules_copy rules;
    if (!access_list_copy_rules(&rules))
        return 0;  // no memory: nothing is touched

    list_outcome list = save_access_list(rules);
    if (list == list_outcome::key_failed)
        return 0;

    platform::registry_key key;
    if (!platform::registry_create(SETTINGS_KEY_PATH, &key))
        return 0;
    // A failed write of a single value is not reported.
    write_u32le(key, ALLOW_ALL_VALUE, settings.allow_all.load());
    write_u32le(key, DISABLE_ABUSE_PROTECTION_VALUE, settings.disable_abuse_protection.load());
    write_u32le(key, PORT_VALUE, settings.port.load());
    // Before the first load there is no password; the stored one is then left as it is.
    std::string password;
    if (settings_password_copy(&password)) {
        write_text(key, PASSWORD_VALUE, password.c_str(), std::strlen(password.c_str()));
    }
    return list == list_outcome::saved ? 1 : 0;
}

// Reads what is stored into the settings and the list; password becomes the stored password
// when it can be read (it stays the default otherwise).
void load_all(char (&password)[TEXT_FIELD_MAX]) {
    access_list_clear();

    char text[TEXT_FIELD_MAX];
    platform::registry_key key;
    // Without the subkey nothing else is read, not even the main key.
    if (!platform::registry_open_read(ACCESS_LIST_KEY_PATH, &key))
        return;
    for (size_t n = 0;; ++n) {
        value_name name = access_list_value_name(n);
        if (!platform::registry_read_text(key, name.text, text, sizeof text))
            break;
        // A rule that cannot be kept ends the list here, so the rules loaded keep their
        // stored order without a hole.
        if (!access_list_append(text))
            break;
    }
    settings.allow_all.store(1);
    key.close();

    if (!platform::registry_open_read(SETTINGS_KEY_PATH, &key))
        return;
    uint32_t value = 0;
    if (platform::registry_read_u32le(key, ALLOW_ALL_VALUE, &value)) {
        settings.allow_all.store(value != 0 ? 1 : 0);
    }
    if (platform::registry_read_u32le(key, DISABLE_ABUSE_PROTECTION_VALUE, &value)) {
        settings.disable_abuse_protection.store(value != 0 ? 1 : 0);
    }
    if (platform::registry_read_u32le(key, PORT_VALUE, &value)) {
        settings.port.store(static_cast<int32_t>(value));
    }
    if (platform::registry_read_text(key, PASSWORD_VALUE, text, sizeof text))
        std::memcpy(password, text, sizeof text);
}

}  // namespace

void settings_load() {
    // The password changes once, to what the load found: a login during the load never meets
    // the default in passing, and a reload of the same password changes nothing.
    char password[TEXT_FIELD_MAX];
    std::strcpy(password, DEFAULT_PASSWORD);
    load_all(password);
    settings_password_set(password);
}

void settings_save(bool all_taken) {
    if (!save_all() || !all_taken)
        platform::message_box("Cannot SaveSettings", "Error");
}

uint32_t used_cookies_load(uint16_t* cookies, uint32_t capacity) {
    platform::registry_key key;
    if (!platform::registry_open_read(SETTINGS_KEY_PATH, &key))
        return 0;
    // Read into the caller's room and decoded in place: cookie i takes the two bytes it was
    // read from.
    uint32_t length = capacity * 2;
    uint32_t type = 0;
    if (!platform::registry_query(key, USED_COOKIES_VALUE, cookies, &length, &type))
        return 0;
    if (type != platform::REGISTRY_BINARY || length % 2 != 0)
        return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(cookies);
    for (uint32_t i = 0; i < length / 2; ++i) {
        uint16_t cookie = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        cookies[i] = cookie;
    }
    return length / 2;
}

void used_cookies_save(const uint16_t* cookies, uint32_t count) {
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[count * 2 + 1]);
    platform::registry_key key;
    if (!bytes || !platform::registry_create(SETTINGS_KEY_PATH, &key))
        return;
    for (uint32_t i = 0; i < count; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(cookies[i]);
        bytes[2 * i + 1] = static_cast<unsigned char>(cookies[i] >> 8);
    }
    platform::registry_set(key, USED_COOKIES_VALUE, platform::REGISTRY_BINARY, bytes.get(),
                           count * 2);
}
