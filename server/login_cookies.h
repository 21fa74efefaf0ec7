// The login cookies: which cookie each login is sent, so that no answer seen on the wire ever
// opens the door again.
//
// A cookie is (r * 65535) / 32767 for a 15-bit r, so there are only COOKIE_VALUES of them, and
// the right answer to a cookie stays the same as long as the password does. Whoever records
// logins on the wire could therefore reconnect until a recorded cookie comes round and send
// its recorded answer. So the server never sends a cookie whose right answer it has received
// within the last USED_COOKIES_REMEMBERED right answers (used), nor one that another
// connection holds unanswered (held: a peer holding many cookies must not be sent the
// owner's, whose answer it could then read off the wire and send itself). Every cookie is
// drawn uniformly among the others, from the system's random source; should the source fail,
// from a seeded generator, and a trace line says so.
//
// Only a right answer makes a cookie used: a stranger cannot answer rightly, so nobody but the
// owner can push the owner's recorded cookies out of the memory. Even with every remembered
// cookie used, half of them are left to draw from.
//
// One fixed table for the module's whole life, across server stop and start and across
// close and open; the plug-in also keeps the used cookies in the registry across a restart
// of the host (used_cookies_export at the stop, used_cookies_restore at open). Drawing and
// settling take a small lock briefly and allocate nothing. Any thread.
#pragma once

#include <cstdint>

constexpr uint32_t COOKIE_VALUES = 32768;
constexpr uint32_t USED_COOKIES_REMEMBERED = 16384;

// The cookie of one login, held from its draw until the login is settled or the holder goes.
class held_cookie {
  public:
    // Draws a cookie that is neither used nor held, and holds it.
    held_cookie();
    held_cookie(const held_cookie&) = delete;
    held_cookie& operator=(const held_cookie&) = delete;
    ~held_cookie() { release(); }

    // The cookie as the wire carries it: 0 to 65535.
    uint16_t value() const { return cookie_; }
    // Its right answer has been received: the cookie is used, and held no more.
    void answered_rightly();
    // Held no more: it may be sent again.
    void release();

  private:
    uint16_t r_;
    uint16_t cookie_;
    bool held_ = true;
};

// The used cookies as the wire carries them, oldest first, into out (room for capacity);
// returns how many were written.
uint32_t used_cookies_export(uint16_t* out, uint32_t capacity);
// Takes cookies stored by used_cookies_export as the used ones, oldest first, when none are
// remembered yet (a reopen within the same load keeps its own, which are as new or newer). A
// list that is not such a record (more than USED_COOKIES_REMEMBERED, a value that is no
// cookie, a cookie twice) is taken as empty: false.
bool used_cookies_restore(const uint16_t* cookies, uint32_t count);

// For tests: how many cookies may be drawn now; back to the state at load (while no cookie
// is held).
uint32_t login_cookies_free();
void login_cookies_reset();
