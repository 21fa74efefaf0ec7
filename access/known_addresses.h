// The addresses that have logged in with the password: the owner's own machines, as far as
// the plug-in can tell.
//
// A crowd of strangers can only be told apart from the owner by what the owner has done
// before: logged in. An address becomes known the moment one of its connections logs in, and
// is forgotten again when one of its logins fails (a wrong or missing answer counted against
// it), so knowing the password is the only way in. Knowing the password in force: when the
// password changes, by whatever path, every address is forgotten, and a login that proved the
// password before the change makes nobody known. The waiting places (server/
// pending_logins.h) protect a known address's connections from a crowd of unknown ones; every
// rule that refuses (access list, abuse block, repeat offenders) still applies to it.
//
// At most KNOWN_ADDRESS_TABLE_SIZE addresses are remembered; when the table is full the one
// whose last login is the oldest is forgotten first. Module-wide, empty at load, kept across
// server stop and start, never written anywhere. Any thread; a small lock is held only to read
// or change the table.
#pragma once

#include <cstdint>

#include "platform/net.h"

constexpr uint32_t KNOWN_ADDRESS_TABLE_SIZE = 64;

// A login from address proved the password of the given generation
// (settings_password_generation): it is known (again), as the most recently used, if that
// password is still in force.
void known_addresses_note_login(platform::ipv4_address address, uint32_t generation);

// A login from address failed: it is known no more.
void known_addresses_forget(platform::ipv4_address address);

bool known_address(platform::ipv4_address address);

// Addresses remembered; for tests.
uint32_t known_addresses_count();

// Back to the state at load. For tests.
void known_addresses_reset();
