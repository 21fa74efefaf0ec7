// Rule matching for one client address against one rule text, the lookups answered by the
// adapter-status seam and the host-lookup seam (and, where it can run offline, the real
// platform lookup).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/rule_matching.h"
#include "platform/adapter_status.h"
#include "platform/net.h"

namespace {

constexpr platform::ipv4_address CLIENT{{192, 168, 1, 57}};
constexpr uint8_t CLIENT_ADAPTER[6] = {0x00, 0x0A, 0x95, 0x9D, 0x68, 0x16};

std::vector<std::string> g_status_queries;
std::vector<std::string> g_lookups;

int answer_client_adapter(const char* address_text, uint8_t adapter[6]) {
    g_status_queries.push_back(address_text);
    if (std::strcmp(address_text, "192.168.1.57") != 0)
        return 0;
    std::memcpy(adapter, CLIENT_ADAPTER, 6);
    return 1;
}

int no_adapter_answers(const char* address_text, uint8_t*) {
    g_status_queries.push_back(address_text);
    return 0;
}

// "several" resolves to three addresses, the client's last; "elsewhere" to one other
// address; every other name fails.
int fake_lookup(const char* name, platform::address_visitor found, void* context) {
    g_lookups.push_back(name);
    std::vector<platform::ipv4_address> addresses;
    if (std::strcmp(name, "several") == 0) {
        addresses = {{{10, 0, 0, 1}}, {{192, 168, 1, 5}}, {{192, 168, 1, 57}}};
    } else if (std::strcmp(name, "elsewhere") == 0) {
        addresses = {{{192, 168, 1, 58}}};
    }
    for (const auto& address : addresses) {
        if (found(address, context))
            return 1;
    }
    return 0;
}

class RuleMatching : public ::testing::Test {
  protected:
    void SetUp() override {
        g_status_queries.clear();
        g_lookups.clear();
        platform::adapter_status_set_override(answer_client_adapter);
        match_host_name_set_lookup(fake_lookup);
    }
    void TearDown() override {
        platform::adapter_status_set_override(nullptr);
        match_host_name_set_lookup(nullptr);
    }
};

struct rule_case {
    const char* rule;
    int expected;
};

TEST_F(RuleMatching, RuleTableForOneClient) {
    const rule_case cases[] = {
        {"192.168.1.57", 1},
        {"192.168.1.5", 0},
        {" 192.168.1.57", 0},
        {"192.168.1.57 ", 0},
        {"192.168.1.0/24", 1},
        {"192.168.1.255/24", 1},
        {"192.168.1.x/24", 1},
        {"192.168.2.0/24", 0},
        {"192.168.0.0/16", 1},
        {"192.0.0.0/8", 1},
        {"10.0.0.0/8", 0},
        {"192.168.1.57/32", 1},
        {"192.168.1.56/32", 0},
        {"0.0.0.0/0", 1},
        {"anything/0", 1},
        {"10.0.0.0/-0", 1},
        {"10.0.0.0/", 1},
        {"10.0.0.0/abc", 1},
        {"192.168.1.0/ 24", 1},
        {"192.168.1.0/\t24", 1},
        {"192.168.1.0/024", 1},
        {"192.168.1.0/+24", 1},
        {"192.168.1.0/24abc", 1},
        {"192.168.1.0/25", 0},
        {"192.168.0.0/12", 0},
        {"192.168.1.0/-24", 0},
        {"192.168.1.0/4294967320", 0},  // would be 24 if the number wrapped at 32 bits
        {"192.168.1.0/99999999999999999999999", 0},
        {"192.168.1/24", 0},
        {"192.168.001.0/24", 0},
        {"192.168/16/24", 0},  // the second cut finds no '.' left
        {"192/8", 0},          // too few parts: no '.' to cut at
        {"/32", 0},            // a host-name rule for the name "32"
        {"00:0a:95:9d:68:16", 1},
        {"00:0A:95:9D:68:16", 1},
        {"00:0a:95:9D:68:16", 1},
        {"00-0a-95-9d-68-16", 0},
        {"0:a:95:9d:68:16", 0},
        {"00:0a:95:9d:68:16/24", 0},
        {"00:0a:95:9d:68:16 ", 0},
        {"00:0a:95:9d:68:1", 0},
        {"", 0},
        {"/several", 1},
        {"/elsewhere", 0},
        {"/unknown", 0},
        {"/0", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(match_access_entry(CLIENT, c.rule), c.expected) << "rule '" << c.rule << "'";
    }
}

TEST_F(RuleMatching, KindIsChosenByFormAlone) {
    // A host-name rule resolves the text after the first '/' only; "/0" is not a subnet.
    EXPECT_EQ(match_access_entry(CLIENT, "/0"), 0);
    EXPECT_EQ(match_access_entry(CLIENT, "/several/x"), 0);
    EXPECT_EQ(g_lookups, (std::vector<std::string>{"0", "several/x"}));
    EXPECT_TRUE(g_status_queries.empty());

    // ':' before any '/' test: a hardware-address rule asks the adapter of the client.
    EXPECT_EQ(match_access_entry(CLIENT, "10.0.0.0/8:"), 0);
    EXPECT_EQ(g_status_queries, (std::vector<std::string>{"192.168.1.57"}));
    EXPECT_EQ(g_lookups.size(), 2u);

    // Exact and subnet rules look nothing up.
    g_status_queries.clear();
    EXPECT_EQ(match_access_entry(CLIENT, "192.168.1.0/24"), 1);
    EXPECT_EQ(match_access_entry(CLIENT, "192.168.1.57"), 1);
    EXPECT_TRUE(g_status_queries.empty());
    EXPECT_EQ(g_lookups.size(), 2u);
}

TEST_F(RuleMatching, HostNameMatchesAnyOfSeveralResolvedAddresses) {
    EXPECT_EQ(match_host_name(CLIENT, "/several"), 1);
    EXPECT_EQ(match_host_name({{10, 0, 0, 1}}, "/several"), 1);
    EXPECT_EQ(match_host_name({{192, 168, 1, 5}}, "/several"), 1);
    EXPECT_EQ(match_host_name({{192, 168, 1, 50}}, "/several"), 0);
    // Nothing is cached: every call looks the name up again.
    EXPECT_EQ(g_lookups.size(), 4u);
}

TEST_F(RuleMatching, FailedAdapterQueryMatchesNoHardwareRule) {
    platform::adapter_status_set_override(no_adapter_answers);
    EXPECT_EQ(match_access_entry(CLIENT, "00:0a:95:9d:68:16"), 0);
    EXPECT_EQ(match_mac_address("192.168.1.57", "00:00:00:00:00:00"), 0);
    EXPECT_EQ(match_mac_address("192.168.1.57", ""), 0);
    EXPECT_EQ(g_status_queries.size(), 3u);
}

TEST_F(RuleMatching, AdapterTextIsLowerCaseTwoDigitsPerByte) {
    platform::adapter_status_set_override([](const char*, uint8_t adapter[6]) {
        const uint8_t bytes[6] = {0xAB, 0x01, 0xFF, 0x00, 0x10, 0x9C};
        std::memcpy(adapter, bytes, 6);
        return 1;
    });
    EXPECT_EQ(match_mac_address("10.1.2.3", "ab:01:ff:00:10:9c"), 1);
    EXPECT_EQ(match_mac_address("10.1.2.3", "AB:01:FF:00:10:9C"), 1);
    EXPECT_EQ(match_mac_address("10.1.2.3", "ab:1:ff:0:10:9c"), 0);
    EXPECT_EQ(match_mac_address("10.1.2.3", "ab:01:ff:00:10:9c:"), 0);
    EXPECT_EQ(match_mac_address("10.1.2.3", "ab:01:ff:00:10:9"), 0);
}

TEST_F(RuleMatching, SubnetRulesAtTheFieldLimit) {
    // 199 characters fit the field: the tail after "/24" is ignored as atoi ignores it.
    std::string rule = "192.168.1.0/24";
    rule.append(199 - rule.size(), 'z');
    ASSERT_EQ(rule.size(), 199u);
    EXPECT_EQ(match_subnet(rule.c_str(), "192.168.1.57"), 1);
    // One more character does not fit: never a match, whatever the prefix says.
    EXPECT_EQ(match_subnet((rule + "z").c_str(), "192.168.1.57"), 0);
    std::string everyone = "0.0.0.0/" + std::string(300, ' ') + "0";
    EXPECT_EQ(match_subnet(everyone.c_str(), "192.168.1.57"), 0);
    // A very long rule is read safely and refused.
    std::string huge(100000, '.');
    huge += "/24";
    EXPECT_EQ(match_access_entry(CLIENT, huge.c_str()), 0);
}

TEST_F(RuleMatching, SubnetCutsAreTextual) {
    const struct {
        const char* rule;
        const char* address;
        int expected;
    } cases[] = {
        {"10.1.2.3/32", "10.1.2.3", 1},
        {"10.1.2.3/32", "10.1.2.30", 0},
        {"10.1.2.3/24/32", "10.1.2.3/24", 1},  // only the last '/' goes
        {"1.2.3.4/8", "1.9.9.9", 1},
        {"1.2.3.4/16", "1.2.9.9", 1},
        {"1.2.3.4/16", "1.20.9.9", 0},
        {"1.2.3/8", "1.9.9.9", 0},   // too few parts in the rule
        {"1.2.3.4/24", "1.2.3", 0},  // the address loses its last part too
        {"1.2.3.4/8", "1.2", 0},     // an address with too few parts
        {"a.b.c.d/24", "a.b.c.e", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(match_subnet(c.rule, c.address), c.expected) << c.rule << " vs " << c.address;
    }
}

TEST(RuleMatchingPlatform, HostNameRuleResolvesLocalhostForReal) {
    uint16_t granted = 0;
    ASSERT_EQ(platform::net_startup(0x0202, &granted), 1);
    EXPECT_EQ(match_access_entry({{127, 0, 0, 1}}, "/localhost"), 1);
    EXPECT_EQ(match_access_entry({{127, 0, 0, 2}}, "/localhost"), 0);
    platform::net_cleanup();
}

TEST(RuleMatchingPlatform, RealAdapterQueryWithoutAnswerFails) {
    // Natively there is no NetBIOS; under Wine the query of a machine that does not answer
    // reports success with an empty buffer, which must still count as failed.
    uint8_t adapter[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(platform::adapter_status_query("127.0.0.1", adapter), 0);
    EXPECT_EQ(platform::adapter_status_query("192.168.100.200.1", adapter), 0);
}

}  // namespace
