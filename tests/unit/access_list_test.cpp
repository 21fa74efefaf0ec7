// The access list's operations, observed through copies of the rule texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "access/access_list.h"

namespace {

std::vector<std::string> list_texts() {
    access_rules_copy rules;
    EXPECT_EQ(access_list_copy_rules(&rules), 1);
    std::vector<std::string> texts;
    for (size_t i = 0; i < rules.count(); ++i) {
        EXPECT_EQ(rules.length(i), std::string(rules.text(i)).size());
        texts.push_back(rules.text(i));
    }
    return texts;
}

using texts = std::vector<std::string>;

class AccessList : public ::testing::Test {
  protected:
    void SetUp() override { access_list_clear(); }
    void TearDown() override { access_list_clear(); }
};

TEST_F(AccessList, AppendKeepsOrderAndTextsExactly) {
    EXPECT_EQ(list_texts(), texts{});
    access_entry* first = access_list_append(" 10.0.0.1 ");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(access_list_append(""), nullptr);
    ASSERT_NE(access_list_append("Host/Name"), nullptr);
    ASSERT_NE(access_list_append(" 10.0.0.1 "), nullptr);  // duplicates are kept
    ASSERT_NE(access_list_append(nullptr), nullptr);       // taken as empty
    std::string long_rule(5000, 'x');
    ASSERT_NE(access_list_append(long_rule.c_str()), nullptr);
    EXPECT_EQ(list_texts(), (texts{" 10.0.0.1 ", "", "Host/Name", " 10.0.0.1 ", "", long_rule}));

    access_rules_copy rules;
    ASSERT_EQ(access_list_copy_rules(&rules), 1);
    EXPECT_EQ(rules.entry(0), first);
}

TEST_F(AccessList, RemoveHeadMiddleTailAndOnly) {
    access_entry* a = access_list_append("a");
    access_list_append("b");
    access_entry* c = access_list_append("c");
    access_entry* d = access_list_append("d");

    EXPECT_EQ(access_list_remove(a), 1);  // the successor becomes the head
    EXPECT_EQ(list_texts(), (texts{"b", "c", "d"}));
    EXPECT_EQ(access_list_remove(c), 1);
    EXPECT_EQ(list_texts(), (texts{"b", "d"}));
    EXPECT_EQ(access_list_remove(d), 1);  // the tail: appending must link behind b now
    ASSERT_NE(access_list_append("e"), nullptr);
    EXPECT_EQ(list_texts(), (texts{"b", "e"}));

    access_list_clear();
    access_entry* only = access_list_append("only");
    EXPECT_EQ(access_list_remove(only), 1);
    EXPECT_EQ(list_texts(), texts{});
    access_entry* head = access_list_append("new head");  // appending to the emptied list
    ASSERT_NE(head, nullptr);
    ASSERT_NE(access_list_append("second"), nullptr);
    EXPECT_EQ(list_texts(), (texts{"new head", "second"}));
    access_rules_copy rules;
    ASSERT_EQ(access_list_copy_rules(&rules), 1);
    EXPECT_EQ(rules.entry(0), head);
}

TEST_F(AccessList, EntriesNotInTheListAreLeftAlone) {
    access_entry* a = access_list_append("a");
    access_entry* b = access_list_append("b");
    EXPECT_EQ(access_list_remove(b), 1);
    EXPECT_EQ(access_list_remove(nullptr), 0);
    std::string text = "unchanged";
    EXPECT_EQ(access_entry_copy_text(nullptr, &text), 0);
    EXPECT_EQ(access_entry_set_text(nullptr, "x"), 0);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(list_texts(), texts{"a"});
    access_list_clear();
    EXPECT_EQ(access_entry_copy_text(a, &text), 0);
    EXPECT_EQ(list_texts(), texts{});
}

TEST_F(AccessList, SetTextKeepsPosition) {
    access_list_append("a");
    access_entry* b = access_list_append("b");
    access_list_append("c");
    EXPECT_EQ(access_entry_set_text(b, "192.168.1.0/24"), 1);
    EXPECT_EQ(list_texts(), (texts{"a", "192.168.1.0/24", "c"}));
    EXPECT_EQ(access_entry_set_text(b, ""), 1);
    std::string text = "x";
    EXPECT_EQ(access_entry_copy_text(b, &text), 1);
    EXPECT_EQ(text, "");
    EXPECT_EQ(access_entry_set_text(b, std::string(1000, 'l').c_str()), 1);
    EXPECT_EQ(access_entry_copy_text(b, &text), 1);
    EXPECT_EQ(text, std::string(1000, 'l'));
    // The copy's total size follows the new lengths.
    EXPECT_EQ(list_texts(), (texts{"a", std::string(1000, 'l'), "c"}));
}

TEST_F(AccessList, CopyIsUnaffectedByLaterChanges) {
    access_entry* a = access_list_append("a");
    access_list_append("b");
    access_rules_copy rules;
    ASSERT_EQ(access_list_copy_rules(&rules), 1);
    access_entry_set_text(a, "changed");
    access_list_clear();
    ASSERT_EQ(rules.count(), 2u);
    EXPECT_STREQ(rules.text(0), "a");
    EXPECT_STREQ(rules.text(1), "b");
    // Taking a new copy into the same object replaces the old one.
    ASSERT_EQ(access_list_copy_rules(&rules), 1);
    EXPECT_EQ(rules.count(), 0u);
}

}  // namespace
