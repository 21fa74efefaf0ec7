// The registry under HKEY_LOCAL_MACHINE: the few calls the settings store needs, with narrow
// (ANSI code page) key paths, value names and texts. On Windows these are the ADVAPI32
// Reg*A calls; natively an in-memory tree of keys and values with the same behaviour for what
// the store uses: value types and exact data lengths, missing keys and values, a query that
// fails when the data does not fit the caller's buffer, deleting a key together with its
// values (but not one that still has subkeys), case-insensitive names, and keys that are
// created with every missing parent.
//
// Paths are relative to HKEY_LOCAL_MACHINE, separated by '\', without a leading '\'.
// Results: 1 success, 0 failure; a missing key or value is a plain failure.
//
// registry_key owns one open key and closes it exactly once (close() or the destructor). A
// key opened for reading cannot be written through. Once its key is deleted, every call
// through a handle that is still open fails. Any thread may call any function; one
// registry_key must not be used by two threads at once.
//
// Test seams: registry_fail_calls() makes chosen calls fail by countdown, on both platforms
// (an injected failure never reaches the registry). registry_set_test_root() moves every path
// below a key of the test's own, so tests under Wine never touch the keys that other test
// programs of the same prefix use at the same time. registry_fake_clear() empties the
// in-memory tree; it exists in the native build only.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Value types, as the registry numbers them.
constexpr uint32_t REGISTRY_SZ = 1;      // text with its terminating NUL
constexpr uint32_t REGISTRY_BINARY = 3;  // raw bytes

class registry_key {
  public:
    registry_key() = default;
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;
    registry_key(registry_key&& other) noexcept : raw_(other.release()) {}
    registry_key& operator=(registry_key&& other) noexcept;
    ~registry_key() { close(); }

    explicit operator bool() const { return raw_ != nullptr; }
    void* raw() const { return raw_; }
    // Takes ownership of an open key, closing the one held before.
    void reset(void* raw);
    void close();
    void* release() {
        void* raw = raw_;
        raw_ = nullptr;
        return raw;
    }

  private:
    void* raw_ = nullptr;
};

// Opens an existing key for reading (KEY_READ). On failure *key is left empty.
int registry_open_read(const char* path, registry_key* key);
// Creates the key, with any missing parents, or opens it when it exists, for all access
// (KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, no class, default security).
int registry_create(const char* path, registry_key* key);

// Reads a value's data into buffer. *length is the buffer's size on entry and the number of
// bytes stored on success; *type (may be null) receives the value type. Fails when the value
// is missing or its data is longer than the buffer (then the buffer's contents and *length
// are unspecified).
int registry_query(const registry_key& key, const char* name, void* buffer, uint32_t* length,
                   uint32_t* type);
// 1 when the key holds a value of that name.
int registry_value_exists(const registry_key& key, const char* name);
// Stores a value of the given type with exactly length bytes of data.
int registry_set(const registry_key& key, const char* name, uint32_t type, const void* data,
                 uint32_t length);
// Removes one value. Fails when it is missing or cannot be removed.
int registry_delete_value(const registry_key& key, const char* name);
// Deletes a key together with its values. Fails when the key is missing or has subkeys.
int registry_delete_key(const char* path);

// The checked readers every text and number read goes through.
//
// registry_read_text reads a text value of any type into text[0 .. size-1] and always leaves
// it NUL-terminated: the text is the data up to its first NUL, or all of the data when it
// holds none. Data that does not fit whole together with a terminator (longer than size
// bytes, or exactly size bytes without a NUL among them) is unreadable: the result is 0 and
// text is the empty text. A shortened text would be a different password or rule from the
// one stored.
int registry_read_text(const registry_key& key, const char* name, char* text, uint32_t size);
// registry_read_u32le reads a value of at most 4 bytes, of any type, as a 32-bit
// little-endian number; bytes the data does not reach count as zero. Longer data or a missing
// value gives 0 and leaves *value as it was.
int registry_read_u32le(const registry_key& key, const char* name, uint32_t* value);

// --- test seams ---

enum class registry_call { open_read, create, query, set, delete_value, delete_key, count };
// After `skip` more calls of the kind have run, the next `count` calls of that kind fail.
// registry_value_exists counts as a query. count 0 cancels the countdown for the kind.
void registry_fail_calls(registry_call call, int skip, int count);
// True while a countdown of the kind has failures left to inject.
bool registry_fail_pending(registry_call call);
// Cancels every countdown.
void registry_fail_reset();
// While a root is set, every key path names the key below it: "A\\B" is "<root>\\A\\B".
// nullptr or "" removes it. Set it only while no other thread uses the registry.
void registry_set_test_root(const char* root);
// Native build only: removes every key and value and cancels every countdown. Keys that are
// still open behave as deleted.
void registry_fake_clear();

namespace detail {
// True when the countdown asks this call to fail; consumed by the platform files.
bool registry_should_fail(registry_call call);
// The path as handed to the registry: below the test root when one is set. False when
// memory for it cannot be had (the call then fails like any other).
bool registry_path(const char* path, std::string* out);
void registry_close_raw(void* raw);
}  // namespace detail

}  // namespace platform
