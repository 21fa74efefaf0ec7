// The registry layer as the settings store uses it. The same cases run natively against the
// in-memory tree and under Wine against the real registry, so the two agree on what matters:
// types, exact lengths, missing keys and values, data longer than the buffer, deleting keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/registry.h"

namespace {

using platform::registry_key;

const char* const ROOT = "Software\\SendrelTests";
const char* const KEY = "Software\\SendrelTests\\Registry";
const char* const CHILD = "Software\\SendrelTests\\Registry\\Child";

void remove_test_keys() {
    platform::registry_fail_reset();
    platform::registry_set_test_root(nullptr);
    platform::registry_delete_key(CHILD);
    platform::registry_delete_key(KEY);
    platform::registry_delete_key(ROOT);
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        remove_test_keys();
        ASSERT_EQ(1, platform::registry_create(KEY, &key_));
    }
    void TearDown() override {
        key_.close();
        remove_test_keys();
    }
    void store(const char* name, uint32_t type, const std::string& data) {
        ASSERT_EQ(1, platform::registry_set(key_, name, type, data.data(),
                                            static_cast<uint32_t>(data.size())));
    }
    registry_key key_;
};

TEST_F(RegistryTest, KeysOpenOnlyWhenPresentAndCreateTheirParents) {
    registry_key key;
    EXPECT_EQ(0, platform::registry_open_read(CHILD, &key));
    EXPECT_FALSE(key);
    ASSERT_EQ(1, platform::registry_create(CHILD, &key));
    EXPECT_TRUE(key);
    EXPECT_EQ(1, platform::registry_open_read("software\\sendreltests\\REGISTRY\\child", &key));
    // Creating an existing key opens it with its values.
    store("Kept", platform::REGISTRY_BINARY, "x");
    ASSERT_EQ(1, platform::registry_create(KEY, &key));
    EXPECT_EQ(1, platform::registry_value_exists(key, "kept"));
}

TEST_F(RegistryTest, ValuesKeepTypeAndExactLength) {
    store("Text", platform::REGISTRY_SZ, std::string("abc\0", 4));
    store("Bytes", platform::REGISTRY_BINARY, std::string("\x01\x00\xff", 3));
    store("Empty", platform::REGISTRY_BINARY, "");

    registry_key reader;
    ASSERT_EQ(1, platform::registry_open_read(KEY, &reader));
    char buffer[16];
    uint32_t length = sizeof buffer;
    uint32_t type = 0;
    ASSERT_EQ(1, platform::registry_query(reader, "TEXT", buffer, &length, &type));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(platform::REGISTRY_SZ, type);
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 4));

    length = sizeof buffer;
    ASSERT_EQ(1, platform::registry_query(reader, "Bytes", buffer, &length, &type));
    EXPECT_EQ(3u, length);
    EXPECT_EQ(platform::REGISTRY_BINARY, type);
    EXPECT_EQ(0, std::memcmp(buffer, "\x01\x00\xff", 3));

    length = sizeof buffer;
    ASSERT_EQ(1, platform::registry_query(reader, "Empty", buffer, &length, &type));
    EXPECT_EQ(0u, length);

    length = sizeof buffer;
    EXPECT_EQ(0, platform::registry_query(reader, "Missing", buffer, &length, &type));
    EXPECT_EQ(0, platform::registry_value_exists(reader, "Missing"));
    // A key opened for reading cannot be written through.
    EXPECT_EQ(0, platform::registry_set(reader, "New", platform::REGISTRY_BINARY, "x", 1));
}

TEST_F(RegistryTest, DataLongerThanTheBufferFailsTheQuery) {
    store("Four", platform::REGISTRY_BINARY, "1234");
    char buffer[4];
    uint32_t length = 3;
    EXPECT_EQ(0, platform::registry_query(key_, "Four", buffer, &length, nullptr));
    length = 4;
    EXPECT_EQ(1, platform::registry_query(key_, "Four", buffer, &length, nullptr));
    EXPECT_EQ(4u, length);
}

TEST_F(RegistryTest, DeletingAKeyTakesItsValuesButNotItsSubkeys) {
    store("Value", platform::REGISTRY_BINARY, "1");
    registry_key child;
    ASSERT_EQ(1, platform::registry_create(CHILD, &child));
    child.close();
    EXPECT_EQ(0, platform::registry_delete_key(KEY));
    EXPECT_EQ(1, platform::registry_delete_key(CHILD));
    EXPECT_EQ(0, platform::registry_delete_key(CHILD));
    EXPECT_EQ(1, platform::registry_delete_key(KEY));

    // A handle still open on the deleted key reads nothing.
    EXPECT_EQ(0, platform::registry_value_exists(key_, "Value"));
    ASSERT_EQ(1, platform::registry_create(KEY, &key_));
    EXPECT_EQ(0, platform::registry_value_exists(key_, "Value"));
}

TEST_F(RegistryTest, DeleteValueReportsWhetherThereWasOne) {
    store("Value", platform::REGISTRY_SZ, std::string("v\0", 2));
    EXPECT_EQ(1, platform::registry_delete_value(key_, "value"));
    EXPECT_EQ(0, platform::registry_value_exists(key_, "Value"));
    EXPECT_EQ(0, platform::registry_delete_value(key_, "Value"));
}

TEST_F(RegistryTest, TextReadsAreBoundedAndAlwaysTerminated) {
    struct text_case {
        const char* label;
        uint32_t type;
        std::string data;
        int result;
        std::string text;
    };
    const std::string c199(199, 'r');
    const text_case cases[] = {
        {"terminated", platform::REGISTRY_SZ, std::string("abc\0", 4), 1, "abc"},
        {"no terminator", platform::REGISTRY_SZ, "abc", 1, "abc"},
        {"stops at the first NUL", platform::REGISTRY_SZ, std::string("ab\0cd\0", 6), 1, "ab"},
        {"NUL alone", platform::REGISTRY_SZ, std::string("\0", 1), 1, ""},
        {"no data", platform::REGISTRY_BINARY, "", 1, ""},
        {"binary text", platform::REGISTRY_BINARY, "xyz", 1, "xyz"},
        {"199 characters and NUL", platform::REGISTRY_SZ, c199 + '\0', 1, c199},
        {"199 characters, no NUL", platform::REGISTRY_SZ, c199, 1, c199},
        {"200 characters, no NUL", platform::REGISTRY_SZ, c199 + 'r', 0, ""},
        {"200 characters and NUL", platform::REGISTRY_SZ, c199 + "r" + '\0', 0, ""},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.label);
        store("Text", c.type, c.data);
        char text[200];
        std::memset(text, 'z', sizeof text);
        EXPECT_EQ(c.result, platform::registry_read_text(key_, "Text", text, sizeof text));
        ASSERT_NE(nullptr, std::memchr(text, '\0', sizeof text));
        EXPECT_EQ(c.text, std::string(text));
    }
    char text[8] = "zzzzzzz";
    EXPECT_EQ(0, platform::registry_read_text(key_, "Missing", text, sizeof text));
    EXPECT_STREQ("", text);
}

TEST_F(RegistryTest, NumbersAreLittleEndianAndZeroFilled) {
    struct number_case {
        const char* label;
        std::string data;
        int result;
        uint32_t value;
    };
    const number_case cases[] = {
        {"four bytes", std::string("\x70\x11\x01\x00", 4), 1, 70000},
        {"all ones", "\xff\xff\xff\xff", 1, 0xFFFFFFFFu},
        {"two bytes", std::string("\x50\x00", 2), 1, 80},
        {"one byte", "\x02", 1, 2},
        {"no bytes", "", 1, 0},
        {"eight bytes", std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8), 0, 12345},
        {"five bytes", std::string("\x01\x00\x00\x00\x00", 5), 0, 12345},
    };
    for (const number_case& c : cases) {
        SCOPED_TRACE(c.label);
        store("Number", platform::REGISTRY_BINARY, c.data);
        uint32_t value = 12345;
        EXPECT_EQ(c.result, platform::registry_read_u32le(key_, "Number", &value));
        EXPECT_EQ(c.value, value);
    }
    uint32_t value = 7;
    EXPECT_EQ(0, platform::registry_read_u32le(key_, "Missing", &value));
    EXPECT_EQ(7u, value);
}

TEST_F(RegistryTest, TestRootMovesEveryPathBelowIt) {
    platform::registry_set_test_root(KEY);
    registry_key key;
    ASSERT_EQ(1, platform::registry_create("Child", &key));
    key.close();
    EXPECT_EQ(1, platform::registry_open_read("Child", &key));
    EXPECT_EQ(0, platform::registry_open_read(CHILD, &key));
    platform::registry_set_test_root(nullptr);
    EXPECT_EQ(1, platform::registry_open_read(CHILD, &key));
    EXPECT_EQ(0, platform::registry_open_read("Child", &key));
    platform::registry_set_test_root(KEY);
    EXPECT_EQ(1, platform::registry_delete_key("Child"));
    platform::registry_set_test_root(nullptr);
    EXPECT_EQ(0, platform::registry_open_read(CHILD, &key));
}

TEST_F(RegistryTest, InjectedFailuresCountDownPerCall) {
    platform::registry_fail_calls(platform::registry_call::create, 1, 2);
    registry_key key;
    EXPECT_EQ(1, platform::registry_create(KEY, &key));
    EXPECT_EQ(0, platform::registry_create(KEY, &key));
    EXPECT_FALSE(key);
    EXPECT_EQ(0, platform::registry_create(KEY, &key));
    EXPECT_EQ(1, platform::registry_create(KEY, &key));

    // Other calls are not touched by a countdown for creates.
    platform::registry_fail_calls(platform::registry_call::set, 0, 1);
    EXPECT_EQ(0, platform::registry_set(key, "V", platform::REGISTRY_BINARY, "1", 1));
    EXPECT_EQ(1, platform::registry_set(key, "V", platform::REGISTRY_BINARY, "1", 1));
    EXPECT_EQ(1, platform::registry_value_exists(key, "V"));

    platform::registry_fail_calls(platform::registry_call::query, 0, 5);
    platform::registry_fail_reset();
    EXPECT_EQ(1, platform::registry_value_exists(key, "V"));
}

}  // namespace
