// Admission cost per client with 1, 100 and 10,000 exact-address and subnet rules, allow_all
// off and no lookups: a client that no rule admits (the whole list is copied and tried) and a
// client that only the last rule admits. Also the cost of copying the list alone.
#include <chrono>
#include <cstdio>
#include <string>

#include "access/access_list.h"
#include "access/admission.h"
#include "module/settings.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The n-th rule of a kind, and an address that it (and no earlier rule) admits.
std::string rule_text(bool subnet, int n, platform::ipv4_address* admitted) {
    const int b = (n >> 8) & 0xFF;
    const int c = n & 0xFF;
    *admitted = {{10, static_cast<uint8_t>(b), static_cast<uint8_t>(c), 9}};
    char text[32];
    if (subnet) {
        std::snprintf(text, sizeof text, "10.%d.%d.0/24", b, c);
    } else {
        std::snprintf(text, sizeof text, "10.%d.%d.9", b, c);
    }
    return text;
}

template <typename Body>
double ns_per_call(long calls, Body body) {
    clock_type::time_point start = clock_type::now();
    for (long i = 0; i < calls; ++i)
        body();
    return std::chrono::duration<double, std::nano>(clock_type::now() - start).count() / calls;
}

void bench(bool subnet, int rules) {
    access_list_clear();
    platform::ipv4_address last{};
    for (int n = 0; n < rules; ++n)
        access_list_append(rule_text(subnet, n, &last).c_str());
    const platform::ipv4_address refused{{192, 168, 1, 57}};
    const long calls = rules >= 10000 ? 2000 : rules >= 100 ? 100000 : 2000000;

    int results = 0;
    double miss = ns_per_call(calls, [&] { results += admit_client(refused); });
    double hit = ns_per_call(calls, [&] { results += admit_client(last); });
    double copy = ns_per_call(calls, [&] {
        access_rules_copy copy_of_rules;
        results += access_list_copy_rules(&copy_of_rules);
    });
    if (results != 2 * static_cast<int>(calls))
        std::printf("unexpected admission results\n");
    std::printf(
        "%-6s rules %6d: refused %11.0f ns   admitted by last %11.0f ns   copy only %9.0f ns"
        "   (%.1f ns per rule tried)\n",
        subnet ? "subnet" : "exact", rules, miss, hit, copy, miss / rules);
}

}  // namespace

int main() {
    settings.allow_all = 0;
    settings.disable_abuse_protection = 0;
    for (bool subnet : {false, true}) {
        for (int rules : {1, 100, 10000})
            bench(subnet, rules);
    }
    access_list_clear();
    return 0;
}
