// Loading and saving the settings and the access list. Natively against the in-memory
// registry, under Wine against the real one (below a test root of its own): every test removes
// the plug-in's keys before and after it runs, and a message box hook keeps boxes off the
// screen and counts them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "access/access_list.h"
#include "module/settings.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "server/login_cookies.h"
#include "settings/settings_store.h"

namespace {

using platform::registry_call;
using platform::registry_key;

const char* const MAIN_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador";
const char* const LIST_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList";

std::atomic<int> g_boxes{0};
std::string g_box_text;  // written only by the thread that saves
std::string g_box_caption;

int record_box(const char* text, const char* caption) {
    g_box_text = text;
    g_box_caption = caption;
    g_boxes.fetch_add(1);
    return 1;
}

void remove_plugin_keys() {
    platform::registry_delete_key(LIST_KEY);
    platform::registry_delete_key(MAIN_KEY);
}
// The plug-in's keys stay below a key of these tests' own, so other test programs that use
// the real ones in the same Wine prefix at the same time are not disturbed.
const char* const TEST_ROOT = "Software\\SendrelTests\\Settings";

// Everything the tests made: the plug-in's keys, the parents a save creates on the way, and
// the test root. A key that still has subkeys is never deleted.
void remove_all_test_keys() {
    remove_plugin_keys();
    platform::registry_delete_key("Software\\Quorvel3\\HardPlugins");
    platform::registry_delete_key("Software\\Quorvel3");
    platform::registry_delete_key("Software");
    platform::registry_set_test_root(nullptr);
    platform::registry_delete_key(TEST_ROOT);
    platform::registry_delete_key("Software\\SendrelTests");
}

std::string rule_name(int n) {
    char name[32];
    std::snprintf(name, sizeof name, "AccessList%03d", n);
    return name;
}

void put(const char* path, const std::string& name, uint32_t type, const std::string& data) {
    registry_key key;
    ASSERT_EQ(1, platform::registry_create(path, &key));
    ASSERT_EQ(1, platform::registry_set(key, name.c_str(), type, data.data(),
                                        static_cast<uint32_t>(data.size())));
}
void put_text(const char* path, const std::string& name, const std::string& text) {
    put(path, name, platform::REGISTRY_SZ, std::string(text.c_str(), text.size() + 1));
}
void put_number(const char* path, const std::string& name, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                           static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    put(path, name, platform::REGISTRY_BINARY, std::string(bytes, 4));
}
void make_key(const char* path) {
    registry_key key;
    ASSERT_EQ(1, platform::registry_create(path, &key));
}

// A stored value: type and data, or no value at all.
struct stored {
    bool present = false;
    uint32_t type = 0;
    std::string data;
};
stored get(const char* path, const std::string& name) {
    stored result;
    registry_key key;
    if (!platform::registry_open_read(path, &key))
        return result;
    std::vector<char> buffer(4096);
    uint32_t length = static_cast<uint32_t>(buffer.size());
    if (!platform::registry_query(key, name.c_str(), buffer.data(), &length, &result.type)) {
        return result;
    }
    result.present = true;
    result.data.assign(buffer.data(), length);
    return result;
}

std::vector<std::string> list_in_memory() {
    access_rules_copy rules;
    EXPECT_EQ(1, access_list_copy_rules(&rules));
    std::vector<std::string> texts;
    for (size_t i = 0; i < rules.count(); ++i)
        texts.emplace_back(rules.text(i));
    return texts;
}
void set_list(const std::vector<std::string>& texts) {
    access_list_clear();
    for (const std::string& text : texts)
        ASSERT_NE(nullptr, access_list_append(text.c_str()));
}
std::string password() {
    std::string text = "<none>";
    settings_password_copy(&text);
    return text;
}

class SettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::registry_fail_reset();
        platform::registry_set_test_root(TEST_ROOT);
        remove_plugin_keys();
        platform::message_box_set_hook(record_box);
        g_boxes = 0;
        g_box_text.clear();
        g_box_caption.clear();
        settings.allow_all = 1;
        settings.disable_abuse_protection = 0;
        settings.port = DEFAULT_PORT;
        settings_password_forget();
        access_list_clear();
    }
    void TearDown() override {
        platform::registry_fail_reset();
        remove_all_test_keys();
        access_list_clear();
        settings_password_forget();
        platform::message_box_set_hook(nullptr);
    }
    // The state a user applies in the dialog.
    void apply(const std::vector<std::string>& rules, int32_t allow_all, int32_t no_abuse,
               int32_t port, const std::string& pw) {
        set_list(rules);
        settings.allow_all = allow_all;
        settings.disable_abuse_protection = no_abuse;
        settings.port = port;
        settings_password_set(pw);
    }
    // Forgets the in-memory state so a load has to bring everything back.
    void forget_and_load() {
        access_list_clear();
        settings.allow_all = 1;
        settings.disable_abuse_protection = 0;
        settings.port = DEFAULT_PORT;
        settings_password_forget();
        settings_load();
    }
};

TEST_F(SettingsStoreTest, FirstStartWithoutKeysGivesTheDefaults) {
    set_list({"stale"});
    settings_load();
    EXPECT_TRUE(list_in_memory().empty());
    EXPECT_EQ(1, settings.allow_all.load());
    EXPECT_EQ(0, settings.disable_abuse_protection.load());
    EXPECT_EQ(1024, settings.port.load());
    EXPECT_EQ("ChgThisPw", password());
}

TEST_F(SettingsStoreTest, MainKeyWithoutSubkeyIsIgnored) {
    put_number(MAIN_KEY, "AllowAll", 1);
    put_number(MAIN_KEY, "DisableAbuseProtection", 1);
    put_number(MAIN_KEY, "Port", 4000);
    put_text(MAIN_KEY, "Password", "stored");
    settings.allow_all = 0;
    settings.port = 1500;
    settings_load();
    EXPECT_EQ(0, settings.allow_all.load());
    EXPECT_EQ(0, settings.disable_abuse_protection.load());
    EXPECT_EQ(1500, settings.port.load());
    EXPECT_EQ("ChgThisPw", password());
}

// The subkey cannot exist without its parent, so "no main key" is a main key without values
// or one that cannot be opened.
TEST_F(SettingsStoreTest, SubkeyWithoutMainKeyLoadsTheListAndAllowsAll) {
    for (bool main_unreadable : {false, true}) {
        SCOPED_TRACE(main_unreadable ? "main key cannot be opened" : "main key without values");
        remove_plugin_keys();
        put_text(LIST_KEY, rule_name(0), "10.0.0.1");
        if (main_unreadable) {
            put_number(MAIN_KEY, "AllowAll", 0);
            put_number(MAIN_KEY, "Port", 4000);
            put_text(MAIN_KEY, "Password", "stored");
            platform::registry_fail_calls(registry_call::open_read, 1, 1);
        }
        settings.allow_all = 0;
        settings.port = 1500;
        settings_password_set("before");
        settings_load();
        EXPECT_EQ(std::vector<std::string>({"10.0.0.1"}), list_in_memory());
        EXPECT_EQ(1, settings.allow_all.load());
        EXPECT_EQ(1500, settings.port.load());
        EXPECT_EQ("ChgThisPw", password());
    }
}

TEST_F(SettingsStoreTest, TheListEndsAtTheFirstValueThatCannotBeRead) {
    const std::string c199(199, 'a');
    struct list_case {
        const char* label;
        std::vector<std::pair<int, std::string>> values;  // number, data as stored
        std::vector<std::string> loaded;
    };
    const list_case cases[] = {
        {"gap after two", {{0, "r0"}, {1, "r1"}, {3, "r3"}}, {"r0", "r1"}},
        {"no first rule", {{1, "r1"}}, {}},
        {"over 200 bytes", {{0, "r0"}, {1, std::string(201, 'x')}, {2, "r2"}}, {"r0"}},
        {"200 bytes, no NUL", {{0, "r0"}, {1, c199 + 'a'}, {2, "r2"}}, {"r0"}},
        {"199 characters and NUL", {{0, c199 + '\0'}}, {c199}},
        {"no NUL loads whole", {{0, "abc"}, {1, std::string("de\0", 3)}}, {"abc", "de"}},
        {"empty text is a rule", {{0, std::string("\0", 1)}, {1, ""}, {2, "x"}}, {"", "", "x"}},
    };
    for (const list_case& c : cases) {
        SCOPED_TRACE(c.label);
        remove_plugin_keys();
        make_key(LIST_KEY);
        for (const auto& value : c.values) {
            // The type is not looked at: odd numbers are stored as binary data.
            uint32_t type = value.first % 2 ? platform::REGISTRY_BINARY : platform::REGISTRY_SZ;
            put(LIST_KEY, rule_name(value.first), type, value.second);
        }
        settings_load();
        EXPECT_EQ(c.loaded, list_in_memory());
    }
}

TEST_F(SettingsStoreTest, NumbersLoadAsStoredOrKeepTheirValue) {
    struct number_case {
        const char* label;
        const char* name;
        bool present;
        std::string data;
        int32_t before;
        int32_t after;
        std::atomic<int32_t>* field;
    };
    const std::string eight("\x02\0\0\0\0\0\0\0", 8);
    const number_case cases[] = {
        {"AllowAll 2", "AllowAll", true, std::string("\x02\0\0\0", 4), 0, 1, &settings.allow_all},
        {"AllowAll 0", "AllowAll", true, std::string("\0\0\0\0", 4), 1, 0, &settings.allow_all},
        {"AllowAll missing", "AllowAll", false, "", 0, 1, &settings.allow_all},
        {"AllowAll 8 bytes", "AllowAll", true, eight, 0, 1, &settings.allow_all},
        {"Disable 2", "DisableAbuseProtection", true, std::string("\x02\0\0\0", 4), 0, 1,
         &settings.disable_abuse_protection},
        {"Disable 0", "DisableAbuseProtection", true, std::string("\0\0\0\0", 4), 1, 0,
         &settings.disable_abuse_protection},
        {"Disable missing", "DisableAbuseProtection", false, "", 1, 1,
         &settings.disable_abuse_protection},
        {"Disable 8 bytes", "DisableAbuseProtection", true, eight, 1, 1,
         &settings.disable_abuse_protection},
        {"Port 70000", "Port", true, std::string("\x70\x11\x01\x00", 4), 1024, 70000,
         &settings.port},
        {"Port all ones", "Port", true, "\xff\xff\xff\xff", 1024, -1, &settings.port},
        {"Port two bytes", "Port", true, std::string("\x50\x00", 2), 1024, 80, &settings.port},
        {"Port 8 bytes", "Port", true, eight, 1500, 1500, &settings.port},
        {"Port missing", "Port", false, "", 1500, 1500, &settings.port},
    };
    for (const number_case& c : cases) {
        SCOPED_TRACE(c.label);
        remove_plugin_keys();
        make_key(LIST_KEY);
        make_key(MAIN_KEY);
        if (c.present)
            put(MAIN_KEY, c.name, platform::REGISTRY_BINARY, c.data);
        c.field->store(c.before);
        settings_load();
        EXPECT_EQ(c.after, c.field->load());
    }
}

TEST_F(SettingsStoreTest, PasswordLoadsWhenItFits) {
    const std::string c199(199, 'p');
    struct password_case {
        const char* label;
        bool present;
        std::string data;
        std::string loaded;
    };
    const password_case cases[] = {
        {"stored", true, std::string("secret\0", 7), "secret"},
        {"empty", true, std::string("\0", 1), ""},
        {"200 characters, no NUL", true, c199 + 'p', "ChgThisPw"},
        {"missing", false, "", "ChgThisPw"},
    };
    for (const password_case& c : cases) {
        SCOPED_TRACE(c.label);
        remove_plugin_keys();
        make_key(LIST_KEY);
        make_key(MAIN_KEY);
        if (c.present)
            put(MAIN_KEY, "Password", platform::REGISTRY_SZ, c.data);
        settings_password_set("before");
        settings_load();
        EXPECT_EQ(c.loaded, password());
    }
}

TEST_F(SettingsStoreTest, SaveWritesTheStoredLayout) {
    apply({"192.168.1.0/24", ""}, 0, 1, 70000, "pw");
    settings_save();
    EXPECT_EQ(0, g_boxes.load());

    const struct {
        const char* path;
        std::string name;
        uint32_t type;
        std::string data;
    } expected[] = {
        {LIST_KEY, "AccessList000", platform::REGISTRY_SZ, std::string("192.168.1.0/24\0", 15)},
        {LIST_KEY, "AccessList001", platform::REGISTRY_SZ, std::string("\0", 1)},
        {MAIN_KEY, "AllowAll", platform::REGISTRY_BINARY, std::string("\0\0\0\0", 4)},
        {MAIN_KEY, "DisableAbuseProtection", platform::REGISTRY_BINARY,
         std::string("\x01\0\0\0", 4)},
        {MAIN_KEY, "Port", platform::REGISTRY_BINARY, std::string("\x70\x11\x01\x00", 4)},
        {MAIN_KEY, "Password", platform::REGISTRY_SZ, std::string("pw\0", 3)},
    };
    for (const auto& value : expected) {
        SCOPED_TRACE(value.name);
        stored found = get(value.path, value.name);
        ASSERT_TRUE(found.present);
        EXPECT_EQ(value.type, found.type);
        EXPECT_EQ(value.data, found.data);
    }
    EXPECT_FALSE(get(LIST_KEY, "AccessList002").present);
}

TEST_F(SettingsStoreTest, EmptyListAndEmptyPasswordRoundTrip) {
    apply({}, 0, 1, 4321, "");
    settings_save();
    EXPECT_EQ(0, g_boxes.load());
    registry_key list;
    EXPECT_EQ(1, platform::registry_open_read(LIST_KEY, &list));
    EXPECT_EQ(0, platform::registry_value_exists(list, "AccessList000"));
    stored pw = get(MAIN_KEY, "Password");
    EXPECT_EQ(platform::REGISTRY_SZ, pw.type);
    EXPECT_EQ(std::string("\0", 1), pw.data);

    forget_and_load();
    EXPECT_TRUE(list_in_memory().empty());
    EXPECT_EQ(0, settings.allow_all.load());
    EXPECT_EQ(1, settings.disable_abuse_protection.load());
    EXPECT_EQ(4321, settings.port.load());
    EXPECT_EQ("", password());
}

TEST_F(SettingsStoreTest, ThousandAndOneRulesRoundTripInOrder) {
    std::vector<std::string> rules;
    for (int i = 0; i < 1001; ++i)
        rules.push_back("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    rules[500] = std::string(199, 'h');
    apply(rules, 0, 0, 1024, "pw");
    settings_save();
    EXPECT_EQ(0, g_boxes.load());
    EXPECT_TRUE(get(LIST_KEY, "AccessList999").present);
    EXPECT_EQ(std::string("10.0.3.232\0", 11), get(LIST_KEY, "AccessList1000").data);
    EXPECT_FALSE(get(LIST_KEY, "AccessList1001").present);

    forget_and_load();
    EXPECT_EQ(rules, list_in_memory());
    EXPECT_EQ(0, settings.allow_all.load());
}

TEST_F(SettingsStoreTest, ShorterListLeavesNoRuleBehind) {
    for (int n = 0; n < 5; ++n)
        put_text(LIST_KEY, rule_name(n), "old" + std::to_string(n));
    put_text(LIST_KEY, rule_name(6), "beyond a gap");
    apply({"new0", "new1"}, 1, 0, 1024, "pw");
    settings_save();
    EXPECT_EQ(0, g_boxes.load());
    for (int n = 2; n < 5; ++n)
        EXPECT_FALSE(get(LIST_KEY, rule_name(n)).present) << n;

    forget_and_load();
    EXPECT_EQ(std::vector<std::string>({"new0", "new1"}), list_in_memory());

    // Growing over the old gap again never brings back the rule that stood beyond it.
    apply({"a", "b", "c", "d", "e", "f"}, 1, 0, 1024, "pw");
    settings_save();
    forget_and_load();
    EXPECT_EQ(std::vector<std::string>({"a", "b", "c", "d", "e", "f"}), list_in_memory());
}

// The stored state every failure test starts from, and the state the user then applies.
const std::vector<std::string> OLD_RULES = {"old0", "old1", "old2", "old3"};
const std::vector<std::string> NEW_RULES = {"new0", "new1"};

class SettingsSaveFailureTest : public SettingsStoreTest {
  protected:
    void SetUp() override {
        SettingsStoreTest::SetUp();
        apply(OLD_RULES, 0, 0, 2000, "oldpw");
        settings_save();
        ASSERT_EQ(0, g_boxes.load());
        apply(NEW_RULES, 0, 1, 3000, "newpw");
    }
};

TEST_F(SettingsSaveFailureTest, SubkeyThatCannotBeCreatedKeepsEverythingStored) {
    platform::registry_fail_calls(registry_call::create, 0, 1);
    settings_save();
    EXPECT_EQ(1, g_boxes.load());
    EXPECT_EQ("Cannot SaveSettings", g_box_text);
    EXPECT_EQ("Error", g_box_caption);

    forget_and_load();
    EXPECT_EQ(OLD_RULES, list_in_memory());
    EXPECT_EQ(2000, settings.port.load());
    EXPECT_EQ("oldpw", password());
}

TEST_F(SettingsSaveFailureTest, MainKeyThatCannotBeCreatedKeepsTheWrittenList) {
    platform::registry_fail_calls(registry_call::create, 1, 1);
    settings_save();
    EXPECT_EQ(1, g_boxes.load());
    forget_and_load();
    EXPECT_EQ(NEW_RULES, list_in_memory());
    EXPECT_EQ(2000, settings.port.load());
    EXPECT_EQ("oldpw", password());
}

TEST_F(SettingsSaveFailureTest, OneBoxPerSaveWhileNothingCanBeCreated) {
    platform::registry_fail_calls(registry_call::create, 0, 1000);
    settings_save();
    EXPECT_EQ(1, g_boxes.load());
    settings_save();
    EXPECT_EQ(2, g_boxes.load());
    platform::registry_fail_reset();
    forget_and_load();
    EXPECT_EQ(OLD_RULES, list_in_memory());
}

TEST_F(SettingsSaveFailureTest, FailedRuleWriteEndsTheListInsteadOfKeepingTheOldRule) {
    platform::registry_fail_calls(registry_call::set, 1, 1);  // "new1"
    settings_save();
    EXPECT_EQ(0, g_boxes.load());  // single value writes are not reported
    forget_and_load();
    EXPECT_EQ(std::vector<std::string>({"new0"}), list_in_memory());
    EXPECT_EQ(3000, settings.port.load());
}

TEST_F(SettingsSaveFailureTest, OldRuleThatCannotBeRemovedIsReported) {
    platform::registry_fail_calls(registry_call::delete_value, 0, 1);  // "old2"
    settings_save();
    EXPECT_EQ(1, g_boxes.load());
    forget_and_load();
    EXPECT_EQ(3000, settings.port.load());  // the main key is still written
}

// Every registry call of a save fails in turn, once and from there on: whatever happens,
// a load afterwards finds either the old list whole or a leading part of the new one, and
// anything else was reported.
TEST_F(SettingsSaveFailureTest, EveryFailingCallLeavesALoadableList) {
    const registry_call calls[] = {registry_call::create, registry_call::set, registry_call::query,
                                   registry_call::delete_value};
    for (registry_call call : calls) {
        for (int count : {1, 1000}) {
            bool clean_run = false;
            for (int skip = 0; !clean_run && skip < 50; ++skip) {
                SCOPED_TRACE(::testing::Message() << "call " << static_cast<int>(call) << " skip "
                                                  << skip << " count " << count);
                remove_plugin_keys();
                apply(OLD_RULES, 0, 0, 2000, "oldpw");
                settings_save();
                apply(NEW_RULES, 0, 1, 3000, "newpw");
                g_boxes = 0;
                platform::registry_fail_calls(call, skip, count);
                settings_save();
                platform::registry_fail_reset();
                int boxes = g_boxes.load();
                EXPECT_LE(boxes, 1);

                forget_and_load();
                std::vector<std::string> loaded = list_in_memory();
                bool old_whole = loaded == OLD_RULES;
                bool new_prefix = loaded.size() <= NEW_RULES.size() &&
                                  std::equal(loaded.begin(), loaded.end(), NEW_RULES.begin());
                EXPECT_TRUE(old_whole || new_prefix || boxes == 1);
                EXPECT_TRUE(new_prefix || boxes == 1) << "an unreported save changed the list";
                clean_run = boxes == 0 && loaded == NEW_RULES && settings.port.load() == 3000 &&
                            password() == "newpw";
            }
            EXPECT_TRUE(clean_run);
        }
    }
}

// A save reads the settings and the list while other threads read them and the registry.
TEST_F(SettingsStoreTest, SaveRunsWhileOthersRead) {
    apply({"a", "b", "c"}, 0, 0, 5000, "pw");
    std::atomic<bool> done{false};
    std::thread reader([&done] {
        while (!done.load()) {
            std::string text;
            settings_password_copy(&text);
            access_rules_copy rules;
            access_list_copy_rules(&rules);
            registry_key key;
            if (platform::registry_open_read(LIST_KEY, &key)) {
                char buffer[200];
                platform::registry_read_text(key, "AccessList000", buffer, sizeof buffer);
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 50; ++i) {
        settings.port = 5000 + i;
        settings_save();
    }
    done = true;
    reader.join();
    EXPECT_EQ(0, g_boxes.load());
    forget_and_load();
    EXPECT_EQ(5049, settings.port.load());
    EXPECT_EQ(std::vector<std::string>({"a", "b", "c"}), list_in_memory());
}

// The used login cookies come back from the registry as they were saved, two bytes each,
// little-endian, oldest first; a value that cannot be such a list comes back as none (what
// its cookies may be is the login cookies' own test).
TEST_F(SettingsStoreTest, UsedCookiesComeBackWholeOrNotAtAll) {
    const std::vector<uint16_t> saved = {0x0000, 0x8000, 0xffff};
    const struct {
        const char* name;
        uint32_t type;
        std::string data;  // nothing stored when empty
        std::vector<uint16_t> loaded;
    } cases[] = {
        {"as saved", platform::REGISTRY_BINARY, "", saved},
        {"missing", platform::REGISTRY_BINARY, "", {}},
        {"an odd length", platform::REGISTRY_BINARY, std::string("\x00\x00\x02", 3), {}},
        {"a text", platform::REGISTRY_SZ, std::string("\x00\x00\x02\x00", 4), {}},
        {"longer",
         platform::REGISTRY_BINARY,
         std::string(2 * USED_COOKIES_REMEMBERED + 2, 'x'),
         {}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        remove_plugin_keys();
        if (each.loaded == saved)
            used_cookies_save(saved.data(), static_cast<uint32_t>(saved.size()));
        else if (!each.data.empty())
            put(MAIN_KEY, "UsedCookies", each.type, each.data);
        login_cookies_reset();
        std::vector<uint16_t> stored(USED_COOKIES_REMEMBERED);
        used_cookies_restore(stored.data(),
                             used_cookies_load(stored.data(), USED_COOKIES_REMEMBERED));
        std::vector<uint16_t> loaded(USED_COOKIES_REMEMBERED);
        loaded.resize(used_cookies_export(loaded.data(), USED_COOKIES_REMEMBERED));
        EXPECT_EQ(loaded, each.loaded);
    }
    login_cookies_reset();
}

}  // namespace
