// Admission under concurrent change: client threads admit and report logins while one
// thread edits the access list and another flips the switches and reads the list. Meant for
// the sanitizer builds: it checks that nothing crashes, races or leaks, and that every text
// a reader sees is one that was put in whole.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "access/access_list.h"
#include "access/admission.h"
#include "access/rule_matching.h"
#include "module/address_text.h"
#include "module/settings.h"
#include "platform/adapter_status.h"
#include "tests/support/server_fixture.h"

namespace {

const char* const RULES[] = {
    "10.0.0.1", "10.0.0.0/24",       "10.0.0.7/32", "10.0.0.0/8",  "0.0.0.0/0", "/localname",
    "",         "00:0a:95:9d:68:16", " 10.0.0.2",   "10.0.0.0/25",
};

bool is_known_rule(const char* text) {
    for (const char* rule : RULES) {
        if (std::strcmp(rule, text) == 0)
            return true;
    }
    return false;
}

int quick_adapter(const char*, uint8_t adapter[6]) {
    const uint8_t bytes[6] = {0x00, 0x0A, 0x95, 0x9D, 0x68, 0x16};
    std::memcpy(adapter, bytes, 6);
    return 1;
}

int quick_lookup(const char*, platform::address_visitor found, void* context) {
    return found({{10, 0, 0, 5}}, context) ? 1 : 0;
}

TEST(AccessStress, AdmissionWhileRulesAndSwitchesChange) {
    platform::adapter_status_set_override(quick_adapter);
    match_host_name_set_lookup(quick_lookup);
    access_list_clear();
    abuse_state_reset();

    std::atomic<bool> stop{false};
    // Rounds done by the client threads, the list editor and the switch flipper.
    std::atomic<long> admissions{0}, edits{0}, flips{0};
    std::atomic<bool> bad_text{false};
    std::vector<std::thread> threads;

    for (int client = 0; client < 3; ++client) {
        threads.emplace_back([&, client] {
            unsigned n = static_cast<unsigned>(client) * 7919u;
            while (!stop.load()) {
                ++n;
                platform::ipv4_address address{{10, 0, 0, static_cast<uint8_t>(n % 12)}};
                admit_client(address);
                ++admissions;
                if (n % 3 == 0) {
                    char text[ADDRESS_TEXT_SIZE];
                    format_address_text(address, text);
                    abuse_note_failure(text);
                } else if (n % 7 == 0) {
                    abuse_note_success();
                }
                abuse_state state = abuse_state_copy();
                if (state.last_offender[0] != '\0' &&
                    std::strncmp(state.last_offender, "10.0.0.", 7) != 0) {
                    bad_text = true;
                }
            }
        });
    }

    threads.emplace_back([&] {  // the settings dialog: append, retext, remove, clear
        std::vector<access_entry*> mine;
        unsigned n = 0;
        while (!stop.load()) {
            ++n;
            ++edits;
            if (mine.size() < 40) {
                if (access_entry* entry = access_list_append(RULES[n % 10]))
                    mine.push_back(entry);
            }
            if (!mine.empty() && n % 3 == 0) {
                access_entry_set_text(mine[n % mine.size()], RULES[(n * 7) % 10]);
            }
            if (!mine.empty() && n % 5 == 0) {
                size_t at = (n / 5) % mine.size();
                access_list_remove(mine[at]);
                mine.erase(mine.begin() + static_cast<long>(at));
            }
            if (n % 97 == 0) {
                access_list_clear();
                mine.clear();
            }
        }
    });

    threads.emplace_back([&] {  // the host and dialog threads: switches, copies, saves
        unsigned n = 0;
        while (!stop.load()) {
            ++n;
            ++flips;
            settings.allow_all = (n % 4 == 0) ? 1 : 0;
            settings.disable_abuse_protection = (n % 6 == 0) ? 1 : 0;
            access_rules_copy rules;
            if (access_list_copy_rules(&rules)) {
                for (size_t i = 0; i < rules.count(); ++i) {
                    if (!is_known_rule(rules.text(i)))
                        bad_text = true;
                    std::string text;
                    // The entry may be gone by now: then nothing is copied.
                    if (access_entry_copy_text(rules.entry(i), &text) &&
                        !is_known_rule(text.c_str())) {
                        bad_text = true;
                    }
                }
            }
        }
    });

    // Long enough for every thread to have met the others many times over, however slowly
    // the machine runs them.
    EXPECT_TRUE(poll_until(
        [&] { return admissions.load() >= 20000 && edits.load() >= 5000 && flips.load() >= 5000; },
        120000));
    stop = true;
    for (auto& thread : threads)
        thread.join();

    EXPECT_FALSE(bad_text.load());

    access_list_clear();
    abuse_state_reset();
    settings.allow_all = 1;
    settings.disable_abuse_protection = 0;
    platform::adapter_status_set_override(nullptr);
    match_host_name_set_lookup(nullptr);
    access_rules_copy rules;
    ASSERT_EQ(access_list_copy_rules(&rules), 1);
    EXPECT_EQ(rules.count(), 0u);
}

}  // namespace
