// The access list: the ordered address rules that decide which clients may connect while
// allow_all is off. Module-wide, empty at load. The order of the list is the order of
// appending; admission tries the rules in it, the settings store numbers them in it (from 0)
// and the settings dialog shows them in it. The same text may stand in several entries.
//
// Locking: the list has a lock of its own, held only to link, unlink or copy; every function
// here takes it, so any thread may call any of them at any time. Nothing is matched, looked
// up or shown under it: readers take a copy (access_list_copy_rules) and work on that.
//
// Texts: every entry owns a heap copy of the text handed in, stored exactly as given (no
// trimming, no case folding, no length limit, the empty text included). Callers keep their
// own texts. A nullptr text is taken as the empty text.
//
// Entries: access_entry is opaque. A pointer returned by access_list_append stays valid until
// the entry is removed or the list is cleared; the settings dialog keeps it as the per-line
// data of its list box and hands it back to access_list_remove, access_entry_set_text and
// access_entry_copy_text. Those three first check under the lock that the entry is still in
// the list: for one that is not, they change nothing and return 0. That check compares
// addresses, and a clear frees every entry, so a new entry may take a freed one's address.
// A caller that keeps entries across calls therefore also hands in the epoch its entries
// come from (access_rules_copy::epoch): the three refuse (0) once the list has been cleared
// since that epoch, and so does an append that must land in the list it was shown
// (nullptr). ANY_ACCESS_EPOCH skips that check.
//
// Results: 1 success, 0 failure. Nothing throws. When memory cannot be had the operation
// does nothing: append returns nullptr, set_text keeps the old text, copies return 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct access_entry;

// Counts the clears of the list (a load clears it first); entries appended after the n-th
// clear belong to epoch n.
constexpr uint64_t ANY_ACCESS_EPOCH = UINT64_MAX;
uint64_t access_list_epoch();

// Appends a new entry holding a copy of text at the tail. Returns the entry, or nullptr
// (list unchanged) when memory cannot be had or the list has been cleared since epoch.
access_entry* access_list_append(const char* text, uint64_t epoch = ANY_ACCESS_EPOCH);

// Frees every entry with its text, head to tail; the list is empty afterwards. Entry
// pointers held anywhere become invalid.
void access_list_clear();

// Unlinks the entry and frees it with its text; the others keep their order. 0 when the
// entry is not in the list.
int access_list_remove(access_entry* entry, uint64_t epoch = ANY_ACCESS_EPOCH);

// Replaces the entry's text by a copy of text; the entry keeps its place. 0 (nothing
// changed) when the entry is not in the list or memory cannot be had.
int access_entry_set_text(access_entry* entry, const char* text, uint64_t epoch = ANY_ACCESS_EPOCH);

// Copies the entry's current text into out. 0 (out untouched) when the entry is not in the
// list or memory cannot be had.
int access_entry_copy_text(const access_entry* entry, std::string* out,
                           uint64_t epoch = ANY_ACCESS_EPOCH);

// A copy of every rule text, in list order, taken in one piece under the list's lock: what
// admission matches and what the settings store saves. The copy owns its memory and frees
// it when it goes; it does not change when the list changes afterwards.
//
//   access_rules_copy rules;
//   if (!access_list_copy_rules(&rules)) ... no memory ...
//   for (size_t i = 0; i < rules.count(); ++i) use(rules.text(i));
//
// entry(i) is the entry that held text(i) when the copy was taken: an identity to compare
// with or hand back to the functions above, never to be dereferenced.
class access_rules_copy {
  public:
    access_rules_copy() = default;
    ~access_rules_copy();
    access_rules_copy(const access_rules_copy&) = delete;
    access_rules_copy& operator=(const access_rules_copy&) = delete;

    size_t count() const { return count_; }
    const char* text(size_t index) const;  // the rule text, NUL-terminated
    size_t length(size_t index) const;     // its length in bytes, the NUL not counted
    access_entry* entry(size_t index) const;
    uint64_t epoch() const { return epoch_; }  // of the list when copied

  private:
    friend int access_list_copy_rules(access_rules_copy* out);
    struct slot {
        access_entry* entry;
        size_t offset;  // of the text, from the start of the block
        size_t length;
    };
    const slot* slots() const { return static_cast<const slot*>(block_); }
    void release();

    void* block_ = nullptr;  // count_ slots, then the texts back to back
    size_t count_ = 0;
    uint64_t epoch_ = 0;
};

// Replaces *out by a copy of the whole list (an empty list gives count() 0). 0 when memory
// cannot be had; *out is then empty.
int access_list_copy_rules(access_rules_copy* out);
