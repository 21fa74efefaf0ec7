// The identity entry points and the storing of the host's function record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module/host_record.h"
#include "module/module_state.h"
#include "plugin/entry_points.h"
#include "tests/support/recording_host.h"

namespace {

constexpr char UNTOUCHED = 0x55;

struct copy_case {
    int32_t size;
    std::string expected;  // the bytes written; every byte after them must stay untouched
};

void check_copies(void(QVL_STDCALL* entry)(char*, int32_t), const char* name,
                  std::initializer_list<copy_case> cases) {
    for (const auto& c : cases) {
        char buffer[300];
        std::memset(buffer, UNTOUCHED, sizeof buffer);
        entry(buffer, c.size);
        EXPECT_EQ(std::string(buffer, c.expected.size()), c.expected) << name << " " << c.size;
        for (size_t k = c.expected.size(); k < sizeof buffer; ++k) {
            ASSERT_EQ(buffer[k], UNTOUCHED) << name << " size " << c.size << " byte " << k;
        }
    }
}

TEST(Identity, NameCopiesByTheLowEightBitsOfTheSize) {
    using namespace std::string_literals;
    check_copies(qvl_name, "qvl_name",
                 {
                     {10, "Sendrel\0\0\0"s},
                     {8, "Sendrel\0"s},
                     {7, "Sendrel"},  // exactly the text: not terminated
                     {4, "Send"},
                     {1, "S"},
                     {0, ""},
                     {256, ""},
                     {0x10A, "Sendrel\0\0\0"s},
                 });
}

TEST(Identity, DescriptionAndVersion) {
    using namespace std::string_literals;
    check_copies(qvl_description, "qvl_description",
                 {
                     {27, "Sendrel, written by Tovrik\0"s},
                     {26, "Sendrel, written by Tovrik"},
                     {255, "Sendrel, written by Tovrik"s + std::string(255 - 26, '\0')},
                 });
    check_copies(qvl_version, "qvl_version", {{5, "2.0b\0"s}, {3, "2.0"}, {0x100, ""}});
}

TEST(Identity, NumbersAndCompare) {
    EXPECT_EQ(qvl_devicenum(), 203);
    EXPECT_EQ(qvl_devicenum(), DEVICE_NUMBER);
    EXPECT_EQ(qvl_requested_api(0), 1);
    EXPECT_EQ(qvl_requested_api(-7), 1);
    EXPECT_EQ(qvl_compare("abc", "abc"), 1);
    EXPECT_EQ(qvl_compare("abc", "ABC"), 0);
    EXPECT_EQ(qvl_compare("abc", "abcd"), 0);
    EXPECT_EQ(qvl_compare("", ""), 1);
}

int g_other_trigger_calls = 0;
int g_other_translate_calls = 0;

int32_t QVL_STDCALL other_trigger(const char*, const uint8_t*, int32_t, int32_t) {
    ++g_other_trigger_calls;
    return 0;
}

int32_t QVL_STDCALL other_translate(const char*, char*, int32_t) {
    ++g_other_translate_calls;
    return 0;
}

// The host's offsets, written as numbers: the plug-in's own constants must agree with them.
constexpr size_t TRANSLATE_SLOT = 48;
constexpr size_t TRIGGER_SLOT = 100;

class HostRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        g_other_trigger_calls = 0;
        g_other_translate_calls = 0;
    }
    void TearDown() override {
        host_record_forget();
        recording_host_clear();
    }
};

TEST_F(HostRecord, OnlyASizeOf112IsStored) {
    ASSERT_EQ(recording_host_install(), 1);
    recording_host_clear();
    for (int32_t size : {111, 113, 0, -112}) {
        uint8_t record[HOST_RECORD_SIZE];
        recording_host_build_record(record);
        trigger_event_fn other = other_trigger;
        std::memcpy(record + TRIGGER_SLOT, &other, sizeof other);
        std::memcpy(record, &size, sizeof size);
        EXPECT_EQ(host_record_store(record), 0) << size;
    }
    // The refused records left the stored one in place.
    host_trigger_event("still recorded", reinterpret_cast<const uint8_t*>(""), 1, 203);
    EXPECT_EQ(recording_host_event_count(), 1u);
    EXPECT_EQ(g_other_trigger_calls, 0);
}

// The host's other slots hold its own data, never zeros: every byte but the size and the two
// slots is filled with a pattern, so a slot read from a neighbouring place or with the wrong
// width (the DLL's slots are 32-bit addresses; a 64-bit native build keeps 8-byte pointers at
// the same offsets) calls a garbage address instead of the host.
TEST_F(HostRecord, TheSlotsAreReadAtOffsets48And100Only) {
    uint8_t record[HOST_RECORD_SIZE];
    std::memset(record, 0xA5, sizeof record);
    const int32_t size = 112;
    std::memcpy(record, &size, sizeof size);
    translate_text_fn translate = other_translate;
    trigger_event_fn trigger = other_trigger;
    std::memcpy(record + TRANSLATE_SLOT, &translate, sizeof translate);
    std::memcpy(record + TRIGGER_SLOT, &trigger, sizeof trigger);
    ASSERT_EQ(host_record_store(record), 1);
    char out[TRANSLATED_TEXT_MAX];
    host_translate_text("Cancel", out, sizeof out);
    host_trigger_event("x", reinterpret_cast<const uint8_t*>(""), 1, 203);
    EXPECT_EQ(g_other_translate_calls, 1);
    EXPECT_EQ(g_other_trigger_calls, 1);
    EXPECT_EQ(recording_host_event_count(), 0u);
}

// The programs that play host lay their record out as the host does.
TEST_F(HostRecord, ComposedRecordsMatchTheHostsLayout) {
    uint8_t composed[HOST_RECORD_SIZE];
    host_record_compose(composed, other_translate, other_trigger);
    uint8_t expected[HOST_RECORD_SIZE] = {112};
    translate_text_fn translate = other_translate;
    trigger_event_fn trigger = other_trigger;
    std::memcpy(expected + TRANSLATE_SLOT, &translate, sizeof translate);
    std::memcpy(expected + TRIGGER_SLOT, &trigger, sizeof trigger);
    EXPECT_EQ(std::memcmp(composed, expected, sizeof expected), 0);
}

TEST_F(HostRecord, RecordingHostServesBothSlots) {
    ASSERT_EQ(recording_host_install(), 1);
    char out[TRANSLATED_TEXT_MAX];
    std::memset(out, UNTOUCHED, sizeof out);
    host_translate_text("Cancel", out, TRANSLATED_TEXT_MAX);
    EXPECT_STREQ(out, "Cancel");
    char small[4];
    host_translate_text("Settings", small, sizeof small);
    EXPECT_STREQ(small, "Set");
    EXPECT_EQ(recording_host_translations(), (std::vector<std::string>{"Cancel", "Settings"}));

    const uint8_t block[] = {1, 'a', 0};
    host_trigger_event("Event", block, 3, 203);
    std::vector<recorded_event> events = recording_host_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].block, std::vector<uint8_t>(block, block + 3));
    EXPECT_EQ(events[0].device, 203);
}

TEST_F(HostRecord, BeforeAStoreNothingIsCalled) {
    host_record_forget();
    char out[8] = "keep";
    host_translate_text("Ok", out, sizeof out);
    EXPECT_STREQ(out, "keep");
    host_trigger_event("x", reinterpret_cast<const uint8_t*>(""), 1, 203);
    EXPECT_EQ(recording_host_event_count(), 0u);
}

}  // namespace
