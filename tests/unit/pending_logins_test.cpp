// The count of connections that have not logged in: the cap per address, the cap in all with
// its fair shares (who takes whose place, who is refused), what a known address holds, the
// bound on their threads, and each connection's place given back exactly once, whether its
// login succeeds, it ends, or another connection took it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "access/known_addresses.h"
#include "module/settings.h"
#include "server/pending_logins.h"

namespace {

platform::ipv4_address address(int n) {
    return platform::ipv4_address{{10, 0, static_cast<uint8_t>(n / 256), static_cast<uint8_t>(n)}};
}

using verdict = pending_logins::verdict;

void know(platform::ipv4_address known) {
    known_addresses_note_login(known, settings_password_generation());
}

// Connections counted in turn; the id of each is its number in the order of arrival.
struct counter {
    std::shared_ptr<pending_logins> counts = std::make_shared<pending_logins>();
    std::vector<pending_login> held;
    connection_id next_id = 1;
    connection_id displaced = NO_CONNECTION;
    bool displaced_had_thread = false;
    bool start_threads = true;

    counter() { known_addresses_reset(); }
    ~counter() { known_addresses_reset(); }
    // Counts a connection and starts its thread, if one is free.
    verdict count(int n) {
        pending_login place;
        pending_logins::displacement gone;
        verdict result = pending_login_count(counts, address(n), next_id++, &place, &gone);
        displaced = gone.connection;
        displaced_had_thread = gone.had_thread;
        if (result == verdict::counted || result == verdict::counted_in_place_of_another) {
            if (start_threads)
                place.start_thread();
            held.push_back(std::move(place));
        }
        return result;
    }
    void fill(int first_address, int addresses, int each) {
        for (int n = first_address; n < first_address + addresses; ++n) {
            for (int i = 0; i < each; ++i)
                ASSERT_EQ(count(n), verdict::counted);
        }
    }
    pending_login& of_connection(connection_id id) { return held[static_cast<size_t>(id - 1)]; }
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
    EXPECT_TRUE(logged_in.log_in(settings_password_generation()));
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
        EXPECT_FALSE(displaced.log_in(settings_password_generation()));
        EXPECT_EQ(c.counts->ending(), 1u);
        displaced.release();
        EXPECT_EQ(c.counts->ending(), 0u);
        EXPECT_EQ(c.counts->total(), 512u);
        EXPECT_TRUE(c.held.back().log_in(settings_password_generation()));
        EXPECT_EQ(c.counts->total(), 511u);
    }
}

// A known address's connections: never displaced by an unknown address, given places beyond
// the total up to their address's share of the reserve, and past it able to displace an
// unknown one even where that holds fewer; forgotten after a failure or a change of the
// password, they are one of the crowd again.
TEST(pending_logins, a_known_address_keeps_its_way_in) {
    counter c;
    know(address(1));
    know(address(5000));
    ASSERT_EQ(c.count(1), verdict::counted);  // connection 1, known
    c.fill(2, 511, 1);
    // A crowd of fresh addresses: the oldest unknown gives way, never the known one.
    EXPECT_EQ(c.count(600), verdict::counted_in_place_of_another);
    EXPECT_EQ(c.displaced, 2u);
    EXPECT_FALSE(c.of_connection(1).given_way());
    for (uint32_t i = 0; i < MAX_KNOWN_RESERVE_PER_ADDRESS; ++i)
        ASSERT_EQ(c.count(1), verdict::counted) << i;
    EXPECT_EQ(c.count(1), verdict::counted_in_place_of_another);
    EXPECT_EQ(c.displaced, 3u);
    EXPECT_EQ(c.count(5000), verdict::counted);  // its own share of the reserve
    EXPECT_EQ(c.counts->total(), MAX_PENDING_TOTAL + MAX_KNOWN_RESERVE_PER_ADDRESS + 1);
    // A known address's share of all places holds as anyone's.
    for (uint32_t i = c.counts->of(address(1)); i < MAX_PENDING_PER_ADDRESS; ++i)
        ASSERT_EQ(c.count(1), verdict::counted_in_place_of_another) << i;
    EXPECT_EQ(c.count(1), verdict::address_full);
    // Forgotten after a failure: the known address is the crowd's greediest, and gives way.
    known_addresses_forget(address(1));
    c.of_connection(1).forget_known();
    EXPECT_EQ(c.count(700), verdict::counted_in_place_of_another);
    EXPECT_EQ(c.displaced, 1u);

    // After a change of the password nobody is known, those already waiting included: the
    // formerly known address is the greediest, and gives way first.
    counter after;
    know(address(1));
    after.fill(1, 1, MAX_PENDING_PER_ADDRESS);
    after.fill(2, MAX_PENDING_TOTAL - MAX_PENDING_PER_ADDRESS, 1);
    EXPECT_EQ(after.count(900), verdict::counted_in_place_of_another);
    EXPECT_EQ(after.displaced, MAX_PENDING_PER_ADDRESS + 1);
    std::string password = "before";
    settings_password_copy(&password);
    ASSERT_TRUE(settings_password_set(password + " and after"));
    EXPECT_FALSE(known_address(address(1)));
    EXPECT_EQ(after.count(901), verdict::counted_in_place_of_another);
    EXPECT_EQ(after.displaced, 1u);
    settings_password_set(password);

    // A login makes its address's other waiting connections known at once: the oldest unknown
    // gives way instead.
    counter logging;
    logging.fill(1, 1, 2);
    logging.fill(2, MAX_PENDING_TOTAL - 2, 1);
    EXPECT_TRUE(logging.of_connection(1).log_in(settings_password_generation()));
    logging.fill(3000, 1, 1);
    EXPECT_EQ(logging.count(3001), verdict::counted_in_place_of_another);
    EXPECT_EQ(logging.displaced, 3u);
}

// The threads of those waiting and those being ended stay bounded however slowly displaced
// connections go, yet nobody is refused for it: past the bound a counted connection waits
// without a thread (and gives way at once, at no cost, if displaced meanwhile) until a thread
// has gone; a known address has threads of its own.
TEST(pending_logins, threads_are_bounded_without_refusing_anyone) {
    counter c;
    c.fill(1, MAX_PENDING_TOTAL, 1);
    for (uint32_t i = 0; i < MAX_PENDING_ENDING; ++i) {
        ASSERT_EQ(c.count(1000 + static_cast<int>(i)), verdict::counted_in_place_of_another);
        ASSERT_TRUE(c.displaced_had_thread);
    }
    EXPECT_EQ(c.counts->ending(), MAX_PENDING_ENDING);
    EXPECT_EQ(c.counts->threads(), MAX_PENDING_THREADS);
    // The next one is counted, but gets no thread until one has gone.
    EXPECT_EQ(c.count(2000), verdict::counted_in_place_of_another);
    pending_login& unthreaded = c.held.back();
    EXPECT_FALSE(unthreaded.start_thread());
    EXPECT_EQ(c.counts->ending(), MAX_PENDING_ENDING + 1);
    EXPECT_EQ(c.counts->threads(), MAX_PENDING_THREADS);
    c.of_connection(1).release();  // the first to give way has gone
    EXPECT_TRUE(unthreaded.start_thread());
    EXPECT_EQ(c.counts->threads(), MAX_PENDING_THREADS);

    // A known address starts its threads at once, in its share of the reserve; past its
    // share it waits like anyone, and another known address still has its own.
    know(address(3000));
    know(address(3001));
    for (uint32_t i = 0; i < MAX_KNOWN_RESERVE_PER_ADDRESS; ++i)
        EXPECT_EQ(c.count(3000), verdict::counted);
    EXPECT_EQ(c.counts->threads(), MAX_PENDING_THREADS + MAX_KNOWN_RESERVE_PER_ADDRESS);
    EXPECT_EQ(c.count(3000), verdict::counted_in_place_of_another);
    EXPECT_FALSE(c.held.back().start_thread());
    EXPECT_EQ(c.count(3001), verdict::counted);
    EXPECT_TRUE(c.held.back().start_thread());

    // One displaced before it had a thread is gone at once: nothing is being ended for it.
    counter unstarted;
    unstarted.start_threads = false;
    unstarted.fill(1, MAX_PENDING_TOTAL, 1);
    EXPECT_EQ(unstarted.count(600), verdict::counted_in_place_of_another);
    EXPECT_EQ(unstarted.displaced, 1u);
    EXPECT_FALSE(unstarted.displaced_had_thread);
    EXPECT_EQ(unstarted.counts->ending(), 0u);
    EXPECT_FALSE(unstarted.of_connection(1).start_thread());
}

// Refused after its look-up: the connection's place goes back at once, its thread counts
// until it has gone.
TEST(pending_logins, a_connection_that_stops_waiting_gives_its_place_back) {
    counter c;
    ASSERT_EQ(c.count(1), verdict::counted);
    c.held.back().stop_waiting();
    EXPECT_EQ(c.counts->total(), 0u);
    EXPECT_EQ(c.counts->of(address(1)), 0u);
    EXPECT_EQ(c.counts->threads(), 1u);
    EXPECT_FALSE(c.held.back().log_in(settings_password_generation()));
    c.held.back().release();
    EXPECT_EQ(c.counts->threads(), 0u);
    EXPECT_EQ(c.counts->ending(), 0u);
}

// The table of known addresses: the least recently used is forgotten first.
TEST(known_addresses, the_least_recently_used_is_forgotten_first) {
    known_addresses_reset();
    for (uint32_t n = 0; n < KNOWN_ADDRESS_TABLE_SIZE; ++n)
        know(address(static_cast<int>(n)));
    know(address(0));     // used again: now the most recent
    know(address(1000));  // a new one: address 1 goes
    EXPECT_TRUE(known_address(address(0)));
    EXPECT_FALSE(known_address(address(1)));
    EXPECT_TRUE(known_address(address(2)));
    EXPECT_TRUE(known_address(address(1000)));
    EXPECT_EQ(known_addresses_count(), KNOWN_ADDRESS_TABLE_SIZE);
    known_addresses_reset();
}

// Logins, failures and questions from several threads at once, as client threads and the
// accept thread make them: the table stays whole (and ThreadSanitizer sees no race).
TEST(known_addresses, threads_note_forget_and_ask_at_once) {
    known_addresses_reset();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 3000; ++i) {
                platform::ipv4_address each = address(t * 100 + i % 100);
                know(each);
                if (!known_address(each) || i % 3 == 0)
                    known_addresses_forget(each);
            }
        });
    }
    for (std::thread& each : threads)
        each.join();
    EXPECT_LE(known_addresses_count(), KNOWN_ADDRESS_TABLE_SIZE);
    known_addresses_reset();
}

}  // namespace
