#include "access/access_list.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

struct access_entry {
    char* rule_text;  // heap copy, owned
    size_t length;
    access_entry* next;
};

namespace {

// Copies are taken by every client thread at every admission, changes come from one dialog
// or the host thread now and then: readers share the lock, writers take it alone.
std::shared_mutex g_lock;
access_entry* g_head = nullptr;
access_entry* g_tail = nullptr;  // appending needs no walk
size_t g_count = 0;
size_t g_text_bytes = 0;  // the lengths of all texts, their terminators included
uint64_t g_epoch = 0;

char* copy_text(const char* text, size_t* length) {
    if (!text)
        text = "";
    *length = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(*length + 1));
    if (copy)
        std::memcpy(copy, text, *length + 1);
    return copy;
}

void free_entry(access_entry* entry) {
    std::free(entry->rule_text);
    delete entry;
}

// The entry before `entry`, nullptr when it is the head; false when it is not in the list.
// Callers hold the lock.
bool find_predecessor(const access_entry* entry, access_entry** predecessor) {
    access_entry* previous = nullptr;
    for (access_entry* at = g_head; at; previous = at, at = at->next) {
        if (at == entry) {
            *predecessor = previous;
            return true;
        }
    }
    return false;
}

bool of_epoch(uint64_t epoch) {
    return epoch == ANY_ACCESS_EPOCH || epoch == g_epoch;
}

bool in_list(const access_entry* entry, uint64_t epoch) {
    access_entry* unused;
    return entry && of_epoch(epoch) && find_predecessor(entry, &unused);
}

}  // namespace

access_entry* access_list_append(const char* text, uint64_t epoch) {
    auto* entry = new (std::nothrow) access_entry{nullptr, 0, nullptr};
    if (!entry)
        return nullptr;
    entry->rule_text = copy_text(text, &entry->length);
    if (!entry->rule_text) {
        delete entry;
        return nullptr;
    }
    std::unique_lock<std::shared_mutex> hold(g_lock);
    if (!of_epoch(epoch)) {
        hold.unlock();
        free_entry(entry);
        return nullptr;
    }
    if (g_tail) {
        g_tail->next = entry;
    } else {
        g_head = entry;
    }
    g_tail = entry;
    ++g_count;
    g_text_bytes += entry->length + 1;
    return entry;
}

void access_list_clear() {
    access_entry* entry;
    {
        std::unique_lock<std::shared_mutex> hold(g_lock);
        entry = g_head;
        g_head = g_tail = nullptr;
        g_count = 0;
        g_text_bytes = 0;
        ++g_epoch;
    }
    // Unlinked as a whole, so no reader can reach these any more.
    while (entry) {
        access_entry* next = entry->next;
        free_entry(entry);
        entry = next;
    }
}

uint64_t access_list_epoch() {
    std::shared_lock<std::shared_mutex> hold(g_lock);
    return g_epoch;
}

int access_list_remove(access_entry* entry, uint64_t epoch) {
    {
        std::unique_lock<std::shared_mutex> hold(g_lock);
        access_entry* predecessor;
        if (!entry || !of_epoch(epoch) || !find_predecessor(entry, &predecessor))
            return 0;
        if (predecessor) {
            predecessor->next = entry->next;
        } else {
            g_head = entry->next;
        }
        if (g_tail == entry)
            g_tail = predecessor;
        --g_count;
        g_text_bytes -= entry->length + 1;
    }
    free_entry(entry);
    return 1;
}

int access_entry_set_text(access_entry* entry, const char* text, uint64_t epoch) {
    size_t length;
    char* replacement = copy_text(text, &length);
    if (!replacement)
        return 0;
    char* old;
    {
        std::unique_lock<std::shared_mutex> hold(g_lock);
        if (!in_list(entry, epoch)) {
            old = replacement;  // freed below, the entry is not ours to change
            replacement = nullptr;
        } else {
            old = entry->rule_text;
            g_text_bytes = g_text_bytes - entry->length + length;
            entry->rule_text = replacement;
            entry->length = length;
        }
    }
    std::free(old);
    return replacement ? 1 : 0;
}

int access_entry_copy_text(const access_entry* entry, std::string* out, uint64_t epoch) {
    std::shared_lock<std::shared_mutex> hold(g_lock);
    if (!in_list(entry, epoch))
        return 0;
    try {
        out->assign(entry->rule_text, entry->length);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

access_rules_copy::~access_rules_copy() {
    release();
}

void access_rules_copy::release() {
    std::free(block_);
    block_ = nullptr;
    count_ = 0;
}

const char* access_rules_copy::text(size_t index) const {
    return static_cast<const char*>(block_) + slots()[index].offset;
}

size_t access_rules_copy::length(size_t index) const {
    return slots()[index].length;
}

access_entry* access_rules_copy::entry(size_t index) const {
    return slots()[index].entry;
}

int access_list_copy_rules(access_rules_copy* out) {
    out->release();
    std::shared_lock<std::shared_mutex> hold(g_lock);
    out->epoch_ = g_epoch;
    if (g_count == 0)
        return 1;
    size_t slot_bytes = g_count * sizeof(access_rules_copy::slot);
    void* block = std::malloc(slot_bytes + g_text_bytes);
    if (!block)
        return 0;
    auto* slots = static_cast<access_rules_copy::slot*>(block);
    char* texts = static_cast<char*>(block);
    size_t offset = slot_bytes;
    size_t index = 0;
    for (access_entry* entry = g_head; entry; entry = entry->next, ++index) {
        slots[index] = {entry, offset, entry->length};
        std::memcpy(texts + offset, entry->rule_text, entry->length + 1);
        offset += entry->length + 1;
    }
    out->block_ = block;
    out->count_ = index;
    return 1;
}
