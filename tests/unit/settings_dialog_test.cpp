// The settings dialog's logic on a fake control set: initialisation, fill, apply (with the
// port field's number rules), the commands, and the rule list's link to the access list.
// Settings are saved below a registry root of these tests' own.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "access/access_list.h"
#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "dialogs/settings_dialog_logic.h"
#include "module/settings.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "settings/settings_store.h"
#include "tests/support/fake_controls.h"
#include "tests/support/recording_host.h"

namespace {

const char* const TEST_ROOT = "Software\\SendrelTests\\SettingsDialog";
const char* const MAIN_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador";
const char* const LIST_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList";

void remove_test_keys() {
    platform::registry_delete_key(LIST_KEY);
    platform::registry_delete_key(MAIN_KEY);
    platform::registry_delete_key("Software\\Quorvel3\\HardPlugins");
    platform::registry_delete_key("Software\\Quorvel3");
    platform::registry_delete_key("Software");
}

std::vector<std::string> g_boxes;
int record_box(const char* text, const char*) {
    g_boxes.push_back(text);
    return 1;
}

std::vector<std::string> access_list_texts() {
    access_rules_copy rules;
    access_list_copy_rules(&rules);
    std::vector<std::string> texts;
    for (size_t i = 0; i < rules.count(); ++i)
        texts.push_back(rules.text(i));
    return texts;
}

class SettingsDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::registry_set_test_root(TEST_ROOT);
        remove_test_keys();
        recording_host_install();
        recording_host_clear();
        settings.allow_all = 0;
        settings.disable_abuse_protection = 1;
        settings.port = 2000;
        settings_password_set("secret pw");
        access_list_clear();
        for (const char* rule : {"10.0.0.1", "10.0.0.0/8", "/printer"})
            entries.push_back(access_list_append(rule));
        controls.edits = {ID_RULE_TEXT, ID_PASSWORD, ID_PORT};
        // The edit fields announce every change, as a real edit control does.
        controls.on_edit_change = [this](int control) {
            settings_dialog_command(controls, control, 0x300);
        };
    }
    void TearDown() override {
        settings_dialog_slot().ended();
        access_list_clear();
        remove_test_keys();
        platform::registry_set_test_root(nullptr);
        platform::registry_delete_key(TEST_ROOT);
        platform::registry_delete_key("Software\\SendrelTests");
    }
    void initialise() { ASSERT_TRUE(settings_dialog_initialise(&controls, controls)); }
    void select(int line) {
        controls.list_select(ID_RULE_LIST, line);
        settings_dialog_command(controls, ID_RULE_LIST, 1);  // LBN_SELCHANGE
    }
    void type(int control, const std::string& text) { controls.set_text(control, text.c_str()); }
    // Line i shows entry i of the access list and carries it.
    void expect_lines_match_the_list() {
        access_rules_copy rules;
        ASSERT_EQ(access_list_copy_rules(&rules), 1);
        std::vector<std::string> lines = controls.list_texts(ID_RULE_LIST);
        ASSERT_EQ(lines.size(), rules.count());
        for (size_t i = 0; i < rules.count(); ++i) {
            EXPECT_EQ(lines[i], rules.text(i));
            EXPECT_EQ(controls.list_data(ID_RULE_LIST, static_cast<int>(i)), rules.entry(i));
        }
    }
    bool apply_enabled() const { return controls.is_enabled(ID_APPLY_BUTTON); }

    fake_controls controls;
    std::vector<access_entry*> entries;
};

TEST_F(SettingsDialogTest, initialises_translated_filled_with_apply_disabled) {
    initialise();
    EXPECT_EQ(settings_dialog_slot().window(), &controls);
    EXPECT_EQ(controls.caption, "Sendrel");
    EXPECT_EQ(recording_host_translations(),
              (std::vector<std::string>{"Settings", "Ok", "Cancel", "Apply", "Add", "Delete",
                                        "Modify", "Allow All", "Disable Abuse Protection",
                                        "Password", "Port", "Open connections"}));
    EXPECT_EQ(controls.texts[ID_OK_BUTTON], "Ok");
    EXPECT_EQ(controls.texts[ID_CONNECTIONS_GROUP], "Open connections");
    EXPECT_EQ(controls.checks[ID_ALLOW_ALL], 0);
    EXPECT_EQ(controls.checks[ID_DISABLE_ABUSE_PROTECTION], 1);
    EXPECT_EQ(controls.texts[ID_PASSWORD], "secret pw");  // in clear
    EXPECT_EQ(controls.texts[ID_PORT], "2000");
    EXPECT_EQ(controls.list_texts(ID_RULE_LIST),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.0/8", "/printer"}));
    for (int line = 0; line < 3; ++line)
        EXPECT_EQ(controls.list_data(ID_RULE_LIST, line), entries[line]);
    // The fill's writes announced changes; the dialog starts with Apply disabled all the same.
    EXPECT_FALSE(apply_enabled());
    EXPECT_TRUE(controls.list_texts(ID_CONNECTION_LIST).empty());
}

TEST_F(SettingsDialogTest, apply_takes_the_fields_saves_and_disables_apply) {
    initialise();
    settings_dialog_command(controls, ID_ALLOW_ALL, 0);
    controls.checks[ID_ALLOW_ALL] = 1;
    controls.checks[ID_DISABLE_ABUSE_PROTECTION] = 2;  // indeterminate counts as clear
    type(ID_PASSWORD, "");
    type(ID_PORT, "3000");
    EXPECT_TRUE(apply_enabled());
    EXPECT_EQ(settings_dialog_command(controls, ID_APPLY_BUTTON, 0).end, dialog_end::no);
    EXPECT_FALSE(apply_enabled());
    EXPECT_EQ(settings.allow_all.load(), 1);
    EXPECT_EQ(settings.disable_abuse_protection.load(), 0);
    EXPECT_EQ(settings.port.load(), 3000);
    std::string password = "<none>";
    settings_password_copy(&password);
    EXPECT_EQ(password, "");  // an empty field is an empty password

    // What was saved loads back.
    settings.port = 1;
    settings.allow_all = 0;
    settings_load();
    EXPECT_EQ(settings.port.load(), 3000);
    EXPECT_EQ(settings.allow_all.load(), 1);
    EXPECT_EQ(access_list_texts(),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.0/8", "/printer"}));
}

TEST_F(SettingsDialogTest, port_texts_become_numbers_without_refusal) {
    initialise();
    const struct {
        const char* text;
        int32_t port;
    } cases[] = {{"abc", 0},
                 {" 2000x", 2000},
                 {"-5", -5},
                 {"70000", 70000},
                 {"", 0},
                 {"\t\n+17", 17},
                 {"- 5", 0},
                 {"0012", 12},
                 {"2147483647", INT32_MAX},
                 {"99999999999", INT32_MAX},
                 {"-99999999999", INT32_MIN}};
    for (const auto& each : cases) {
        type(ID_PORT, each.text);
        settings_dialog_apply(controls);
        EXPECT_EQ(settings.port.load(), each.port) << "'" << each.text << "'";
    }
}

TEST_F(SettingsDialogTest, commands_enable_apply_and_end_the_dialog) {
    initialise();
    // A check box clicked twice is back where it was, and Apply stays enabled.
    settings_dialog_command(controls, ID_ALLOW_ALL, 0);
    settings_dialog_command(controls, ID_ALLOW_ALL, 0);
    EXPECT_TRUE(apply_enabled());
    settings_dialog_apply(controls);
    // Other notifications of check boxes and edit fields change nothing; typing a rule
    // text, selecting a line and unknown controls neither.
    for (int control : {ID_ALLOW_ALL, ID_DISABLE_ABUSE_PROTECTION})
        EXPECT_EQ(settings_dialog_command(controls, control, 5).answer, 1);
    for (int control : {ID_PASSWORD, ID_PORT})
        EXPECT_EQ(settings_dialog_command(controls, control, 0x100).answer, 1);
    type(ID_RULE_TEXT, "1.2.3.4");
    select(1);
    EXPECT_EQ(settings_dialog_command(controls, ID_RULE_TEXT, 0x300).answer, 0);
    EXPECT_EQ(settings_dialog_command(controls, ID_CONNECTION_LIST, 1).answer, 0);
    EXPECT_FALSE(apply_enabled());

    // OK applies and saves even with Apply disabled; Cancel applies nothing.
    type(ID_PORT, "4100");
    settings_dialog_apply(controls);
    type(ID_PORT, "4200");
    controls.disabled.insert(ID_APPLY_BUTTON);
    command_outcome ok = settings_dialog_command(controls, ID_OK_BUTTON, 0);
    EXPECT_EQ(ok.answer, 1);
    EXPECT_EQ(ok.end, dialog_end::with_ok);
    EXPECT_EQ(settings.port.load(), 4200);
    type(ID_PORT, "4300");
    command_outcome cancel = settings_dialog_command(controls, ID_CANCEL_BUTTON, 0);
    EXPECT_EQ(cancel.end, dialog_end::with_cancel);
    EXPECT_EQ(settings.port.load(), 4200);
    settings.port = 0;
    settings_load();
    EXPECT_EQ(settings.port.load(), 4200);
}

TEST_F(SettingsDialogTest, selecting_a_rule_shows_its_text) {
    initialise();
    select(2);
    EXPECT_EQ(controls.texts[ID_RULE_TEXT], "/printer");
    controls.selections.erase(ID_RULE_LIST);
    settings_dialog_command(controls, ID_RULE_LIST, 1);
    EXPECT_EQ(controls.texts[ID_RULE_TEXT], "/printer");
    EXPECT_FALSE(apply_enabled());
}

TEST_F(SettingsDialogTest, add_appends_a_line_and_an_entry_that_admission_sees_at_once) {
    initialise();
    type(ID_RULE_TEXT, "");
    settings_dialog_add_rule(controls);
    EXPECT_FALSE(apply_enabled());  // an empty text adds nothing
    EXPECT_EQ(access_list_texts().size(), 3u);

    type(ID_RULE_TEXT, "10.0.0.1");  // the same text again is a rule of its own
    settings_dialog_command(controls, ID_ADD_RULE, 0);
    EXPECT_TRUE(apply_enabled());
    EXPECT_EQ(controls.list_texts(ID_RULE_LIST),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.0/8", "/printer", "10.0.0.1"}));
    EXPECT_EQ(access_list_texts(), controls.list_texts(ID_RULE_LIST));
    std::string text;
    ASSERT_EQ(access_entry_copy_text(
                  static_cast<access_entry*>(controls.list_data(ID_RULE_LIST, 3)), &text),
              1);
    EXPECT_EQ(text, "10.0.0.1");
    EXPECT_EQ(controls.selection(ID_RULE_LIST), LIST_ERROR);
    EXPECT_EQ(controls.texts[ID_RULE_TEXT], "10.0.0.1");

    // Only the first 199 characters of the field count.
    type(ID_RULE_TEXT, std::string(250, 'h'));
    settings_dialog_add_rule(controls);
    EXPECT_EQ(access_list_texts().back(), std::string(199, 'h'));

    // A list box that refuses the line gets no entry either.
    controls.refuse_lines = true;
    type(ID_RULE_TEXT, "1.1.1.1");
    settings_dialog_add_rule(controls);
    EXPECT_EQ(access_list_texts().size(), 5u);
}

TEST_F(SettingsDialogTest, modify_keeps_the_place_and_the_selection) {
    initialise();
    settings_dialog_apply(controls);
    select(1);
    type(ID_RULE_TEXT, "192.168.0.0/16");
    settings_dialog_command(controls, ID_MODIFY_RULE, 0);
    EXPECT_TRUE(apply_enabled());
    EXPECT_EQ(controls.list_texts(ID_RULE_LIST),
              (std::vector<std::string>{"10.0.0.1", "192.168.0.0/16", "/printer"}));
    EXPECT_EQ(access_list_texts(), controls.list_texts(ID_RULE_LIST));
    EXPECT_EQ(controls.selection(ID_RULE_LIST), 1);
    EXPECT_EQ(controls.list_data(ID_RULE_LIST, 1), entries[1]);

    // Without a selection, or with an empty text, nothing changes.
    settings_dialog_apply(controls);
    type(ID_RULE_TEXT, "");
    settings_dialog_modify_rule(controls);
    controls.selections.erase(ID_RULE_LIST);
    type(ID_RULE_TEXT, "7.7.7.7");
    settings_dialog_modify_rule(controls);
    EXPECT_FALSE(apply_enabled());
    EXPECT_EQ(access_list_texts(), controls.list_texts(ID_RULE_LIST));
    EXPECT_EQ(access_list_texts()[1], "192.168.0.0/16");
}

TEST_F(SettingsDialogTest, delete_of_the_second_of_three_keeps_the_others_in_order) {
    initialise();
    settings_dialog_delete_rule(controls);  // nothing selected: nothing happens
    EXPECT_FALSE(apply_enabled());
    select(1);
    settings_dialog_command(controls, ID_DELETE_RULE, 0);
    EXPECT_TRUE(apply_enabled());
    EXPECT_EQ(controls.list_texts(ID_RULE_LIST),
              (std::vector<std::string>{"10.0.0.1", "/printer"}));
    EXPECT_EQ(access_list_texts(), controls.list_texts(ID_RULE_LIST));
    EXPECT_EQ(controls.selection(ID_RULE_LIST), LIST_ERROR);
    EXPECT_EQ(controls.texts[ID_RULE_TEXT], "10.0.0.0/8");
    EXPECT_EQ(controls.list_data(ID_RULE_LIST, 1), entries[2]);

    // The saved list numbers the rules anew; nothing of the deleted one stays.
    settings_dialog_apply(controls);
    settings_load();
    EXPECT_EQ(access_list_texts(), (std::vector<std::string>{"10.0.0.1", "/printer"}));
}

// Failures leave the password in force and report the save as failed.
TEST_F(SettingsDialogTest, apply_without_memory_for_the_password_keeps_it_and_says_so) {
    initialise();
    settings_dialog_apply(controls);  // "secret pw" stored
    platform::message_box_set_hook(record_box);
    g_boxes.clear();
    type(ID_PASSWORD, "new pw");
    type(ID_PORT, "2500");
    settings_password_fail_next_sets(1);
    settings_dialog_apply(controls);
    platform::message_box_set_hook(nullptr);
    EXPECT_EQ(g_boxes, std::vector<std::string>{"Cannot SaveSettings"});
    std::string password;
    EXPECT_TRUE(settings_password_copy(&password));
    EXPECT_EQ(password, "secret pw");
    settings_load();
    EXPECT_TRUE(settings_password_copy(&password));
    EXPECT_EQ(password, "secret pw");
    EXPECT_EQ(settings.port.load(), 2500);  // the rest was saved
}

TEST_F(SettingsDialogTest, lines_and_entries_agree_after_refused_lines) {
    // Modify whose new line is refused: line, entry and selection stay.
    initialise();
    select(1);
    type(ID_RULE_TEXT, "7.7.7.7");
    controls.refuse_lines = true;
    settings_dialog_modify_rule(controls);
    EXPECT_EQ(access_list_texts(),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.0/8", "/printer"}));
    expect_lines_match_the_list();
    EXPECT_EQ(controls.selection(ID_RULE_LIST), 1);
    EXPECT_FALSE(apply_enabled());

    // A fill whose second line is refused shows no line rather than misplaced ones; the next
    // rule command shows the list whole.
    controls.refuse_lines = false;
    controls.accept_lines = 1;
    settings_dialog_fill(controls);
    EXPECT_TRUE(controls.list_texts(ID_RULE_LIST).empty());
    controls.accept_lines = -1;
    type(ID_RULE_TEXT, "5.5.5.5");
    settings_dialog_add_rule(controls);
    expect_lines_match_the_list();
    EXPECT_EQ(access_list_texts().back(), "5.5.5.5");
}

// The access list is replaced under the open dialog (loaded again, or cleared): no rule
// command acts on an entry of the old list; the list is shown anew, and only Add, which
// needs no selection, goes on.
TEST_F(SettingsDialogTest, rule_commands_after_the_list_was_replaced_touch_only_the_new_list) {
    const struct {
        const char* name;
        void (*command)(dialog_controls&);
        bool adds;
    } cases[] = {{"select", settings_dialog_show_selection, false},
                 {"modify", settings_dialog_modify_rule, false},
                 {"delete", settings_dialog_delete_rule, false},
                 {"add", settings_dialog_add_rule, true}};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        initialise();
        select(1);
        type(ID_RULE_TEXT, "5.5.5.5");
        access_list_clear();
        access_list_append("172.16.0.1");
        access_list_append("172.16.0.2");
        each.command(controls);
        std::vector<std::string> after = {"172.16.0.1", "172.16.0.2"};
        if (each.adds)
            after.push_back("5.5.5.5");
        EXPECT_EQ(access_list_texts(), after);
        expect_lines_match_the_list();
        EXPECT_EQ(controls.texts[ID_RULE_TEXT], "5.5.5.5");
        settings_dialog_slot().ended();
    }
}

// The list replaced in the middle of an Add, after its lines were found current and before
// the append: the rule goes into neither list, and the new list is shown.
TEST_F(SettingsDialogTest, an_add_while_the_list_is_replaced_adds_nothing) {
    initialise();
    type(ID_RULE_TEXT, "5.5.5.5");
    bool replaced = false;
    controls.on_new_line = [&](int) {
        if (replaced)
            return;
        replaced = true;
        access_list_clear();
        access_list_append("172.16.0.1");
    };
    settings_dialog_add_rule(controls);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(access_list_texts(), std::vector<std::string>{"172.16.0.1"});
    expect_lines_match_the_list();
    EXPECT_FALSE(apply_enabled());
}

}  // namespace

namespace {

std::string block_of(const std::vector<std::string>& lines) {
    std::string block;
    for (const std::string& line : lines) {
        block += line;
        block.push_back('\0');
    }
    return block;
}

// The connection list shows exactly the delivered lines, in the list box's order, however
// they change from one rebuild to the next (duplicates included), as a refill would.
TEST_F(SettingsDialogTest, connection_list_shows_each_rebuild_as_a_refill_would) {
    initialise();
    controls.sorted_lists.insert(ID_CONNECTION_LIST);
    const std::vector<std::vector<std::string>> rebuilds = {
        {"9.8.7.6"},
        {"10.0.0.5", "9.8.7.6"},
        {"10.0.0.5", "9.8.7.6", "10.0.0.5"},
        {"10.0.0.5", "127.0.0.1"},
        {},
        {"1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4"},
        {"4.4.4.4"},
    };
    for (const auto& lines : rebuilds) {
        std::string block = block_of(lines);
        settings_dialog_show_lines(controls, ID_CONNECTION_LIST, block.data(), block.size());
        std::vector<std::string> expected = lines;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(controls.list_texts(ID_CONNECTION_LIST), expected);
    }
    // A line without its zero byte is no line.
    settings_dialog_show_lines(controls, ID_CONNECTION_LIST, "5.5.5.5", 7);
    EXPECT_TRUE(controls.list_texts(ID_CONNECTION_LIST).empty());
}

}  // namespace
