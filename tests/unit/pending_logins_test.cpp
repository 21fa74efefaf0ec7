// The count of connections that have not logged in: the cap per address, the cap in all with
// its fair shares (who takes whose place, who is refused), the bound on those being ended, and
// each connection's place given back exactly once, whether its login succeeds, it ends, or
// another connection took it.
#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "server/pending_logins.h"

namespace {

platform::ipv4_address address(int n) {
    return platform::ipv4_address{{10, 0, static_cast<uint8_t>(n / 256), static_cast<uint8_t>(n)}};
}

using verdict = pending_logins::verdict;

// Connections counted in turn; the id of each is its number in the order of arrival.
struct counter {
    std::shared_ptr<pending_logins> counts = std::make_shared<pending_logins>();
    std::vector<pending_login> held;
    connection_id next_id = 1;
    connection_id displaced = NO_CONNECTION;

    connection_id unstarted_from = NO_CONNECTION;

    verdict count(int n, bool may_displace = true) {
        pending_login place;
        verdict result = pending_login_count(counts, address(n), next_id++, may_displace,
                                             unstarted_from, &place, &displaced);
        if (result == verdict::counted || result == verdict::counted_in_place_of_another)
            held.push_back(std::move(place));
        return result;
    }
    void fill(int first_address, int addresses, int each) {
        for (int n = first_address; n < first_address + addresses; ++n) {
            for (int i = 0; i < each; ++i)
                ASSERT_EQ(count(n), verdict::counted);
        }
    }
};

TEST(pending_logins, caps_per_address_and_in_all_and_gives_places_back) {
    counter c;
    for (uint32_t i = 0; i < 32; ++i)
        ASSERT_EQ(c.count(1), verdict::counted) << i;
    EXPECT_EQ(c.count(1), verdict::address_full);  // the 33rd from one address
    EXPECT_EQ(c.count(2), verdict::counted);       // another address is not held up
    EXPECT_EQ(c.counts->of(address(1)), 32u);

    // Distinct addresses up to the total: 33 counted so far.
    for (int n = 3; c.counts->total() < 512; ++n)
        ASSERT_EQ(c.count(n), verdict::counted) << n;

    // A login that succeeds gives its place back; the end of the connection then gives back
    // nothing more.
    pending_login logged_in = std::move(c.held.front());
    c.held.erase(c.held.begin());
    EXPECT_TRUE(logged_in.log_in());
    EXPECT_EQ(c.count(1), verdict::counted);
    { pending_login ended = std::move(logged_in); }
    EXPECT_EQ(c.counts->of(address(1)), 32u);
    EXPECT_EQ(c.counts->total(), 512u);

    // Connections that end give their places back; an address with none left is forgotten,
    // so the table never holds more than the total.
    c.held.clear();
    EXPECT_EQ(c.counts->total(), 0u);
    for (int n = 0; n < 512; ++n)
        ASSERT_EQ(c.count(10000 + n), verdict::counted) << n;
}

struct fair_share_case {
    const char* name;
    std::vector<std::pair<int, int>> fill;  // addresses, connections each; in turn from 1
    int newcomer;                           // the address of the connection that comes next
    verdict expected;
    connection_id displaced;  // the connection that gives way, 0 for none
};

TEST(pending_logins, at_the_total_the_greediest_address_gives_way) {
    const fair_share_case cases[] = {
        // 16 x 32: a 17th address takes the place of the oldest connection of all.
        {"crowd of 16 full addresses", {{16, 32}}, 17, verdict::counted_in_place_of_another, 1},
        {"one of the 16 comes again", {{16, 32}}, 5, verdict::address_full, 0},
        // 512 addresses with one each: a fresh address still gets in; one of them does not.
        {"crowd of single connections", {{512, 1}}, 600, verdict::counted_in_place_of_another, 1},
        {"one of the singles again", {{512, 1}}, 7, verdict::total_full, 0},
        // 10 addresses hold 30, 2 hold 31, 150 hold one: the oldest of the two 31s gives way.
        {"the most, not the oldest, gives way",
         {{10, 30}, {2, 31}, {150, 1}},
         170,
         verdict::counted_in_place_of_another,
         301},
        {"one that holds fewer than the most",
         {{10, 30}, {2, 31}, {150, 1}},
         3,
         verdict::counted_in_place_of_another,
         301},
        {"one that holds the most", {{10, 30}, {2, 31}, {150, 1}}, 11, verdict::total_full, 0},
    };
    for (const fair_share_case& each : cases) {
        SCOPED_TRACE(each.name);
        counter c;
        int next_address = 1;
        for (auto [addresses, connections] : each.fill) {
            c.fill(next_address, addresses, connections);
            next_address += addresses;
        }
        ASSERT_EQ(c.counts->total(), 512u);
        uint32_t newcomer_held = c.counts->of(address(each.newcomer));
        EXPECT_EQ(c.count(each.newcomer), each.expected);
        EXPECT_EQ(c.counts->total(), 512u);
        if (each.expected != verdict::counted_in_place_of_another)
            continue;
        EXPECT_EQ(c.displaced, each.displaced);
        EXPECT_EQ(c.counts->of(address(each.newcomer)), newcomer_held + 1);
        // The displaced connection does not log in; it stays counted apart until it has gone.
        pending_login& displaced = c.held[static_cast<size_t>(each.displaced - 1)];
        EXPECT_TRUE(displaced.given_way());
        EXPECT_FALSE(displaced.log_in());
        EXPECT_EQ(c.counts->ending(), 1u);
        displaced.release();
        EXPECT_EQ(c.counts->ending(), 0u);
        EXPECT_EQ(c.counts->total(), 512u);
        EXPECT_TRUE(c.held.back().log_in());
        EXPECT_EQ(c.counts->total(), 511u);
    }
}

// However slowly displaced connections go, those waiting and those being ended together stay
// bounded: once MAX_PENDING_ENDING are being ended only a connection without a thread yet
// gives way (the greediest and oldest of those), and without one nobody, until one has gone.
// A connection that may only take a free place never displaces anyone.
TEST(pending_logins, displacement_stops_while_too_many_are_being_ended) {
    counter c;
    c.fill(1, 512, 1);
    EXPECT_EQ(c.count(5000, false), verdict::total_full);
    for (uint32_t i = 0; i < MAX_PENDING_ENDING; ++i)
        ASSERT_EQ(c.count(1000 + static_cast<int>(i)), verdict::counted_in_place_of_another);
    EXPECT_EQ(c.counts->ending(), MAX_PENDING_ENDING);
    EXPECT_EQ(c.count(2000), verdict::total_full);
    c.held.front().release();  // the first to give way has gone
    EXPECT_EQ(c.count(2000), verdict::counted_in_place_of_another);
    EXPECT_EQ(c.counts->total(), MAX_PENDING_TOTAL);
    EXPECT_EQ(c.counts->ending(), MAX_PENDING_ENDING);

    // The connections from 2000 on (ids 578 on) have no thread yet: 2001 takes 2000's place.
    c.unstarted_from = c.next_id - 1;
    EXPECT_EQ(c.count(2001), verdict::counted_in_place_of_another);
    EXPECT_EQ(c.displaced, c.unstarted_from);
    EXPECT_EQ(c.counts->ending(), MAX_PENDING_ENDING + 1);  // until the caller closes it
}

}  // namespace
