// The count of connections that have not logged in: the cap per address, the cap in all, and
// each connection's place given back exactly once, whether its login succeeds or it ends.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "server/pending_logins.h"

namespace {

platform::ipv4_address address(int n) {
    return platform::ipv4_address{{10, 0, static_cast<uint8_t>(n / 256), static_cast<uint8_t>(n)}};
}

using verdict = pending_logins::verdict;

TEST(pending_logins, caps_per_address_and_in_all_and_gives_places_back) {
    auto counts = std::make_shared<pending_logins>();
    std::vector<pending_login> held;
    auto count = [&](int n) {
        pending_login place;
        verdict result = pending_login_count(counts, address(n), &place);
        if (result == verdict::counted)
            held.push_back(std::move(place));
        return result;
    };

    for (uint32_t i = 0; i < 32; ++i)
        ASSERT_EQ(count(1), verdict::counted) << i;
    EXPECT_EQ(count(1), verdict::address_full);  // the 33rd from one address
    EXPECT_EQ(count(2), verdict::counted);       // another address is not held up
    EXPECT_EQ(counts->of(address(1)), 32u);

    // Distinct addresses up to the total: 33 counted so far.
    for (int n = 3; counts->total() < 512; ++n)
        ASSERT_EQ(count(n), verdict::counted) << n;
    EXPECT_EQ(count(9999), verdict::total_full);
    EXPECT_EQ(count(2), verdict::total_full);

    // A login that succeeds gives its place back; the end of the connection then gives back
    // nothing more.
    pending_login logged_in = std::move(held.front());
    held.erase(held.begin());
    logged_in.release();
    EXPECT_EQ(count(1), verdict::counted);
    { pending_login ended = std::move(logged_in); }
    EXPECT_EQ(counts->of(address(1)), 32u);
    EXPECT_EQ(counts->total(), 512u);

    // Connections that end give their places back; an address with none left is forgotten,
    // so the table never holds more than the total.
    held.clear();
    EXPECT_EQ(counts->total(), 0u);
    for (int n = 0; n < 512; ++n)
        ASSERT_EQ(count(10000 + n), verdict::counted) << n;
}

}  // namespace
