// The settings and the access list in the registry, under HKEY_LOCAL_MACHINE:
// "Software\Quorvel3\HardPlugins\Plexador" (AllowAll, DisableAbuseProtection, Port, Password,
// UsedCookies)
// and its "AccessList" subkey (AccessList000, AccessList001, ...).
//
// settings_load runs on the host's thread (qvl_open); settings_save on the settings dialog's
// thread. Both may run while client threads read the settings and the list.
#pragma once

#include <cstdint>

void settings_load();
// Saves everything; a failure shows "Cannot SaveSettings". all_taken false: a value the user
// entered could not be kept in memory, so what is in force was saved and the save is
// reported as failed all the same.
void settings_save(bool all_taken = true);

// The used login cookies (server/login_cookies.h), kept beside the settings as the binary value
// "UsedCookies": two bytes each, little-endian, oldest first. used_cookies_load reads up to
// capacity of them into cookies and returns their count: 0 when there is no such value, or
// when it is longer, of another type or of an odd length. used_cookies_save reports nothing: a
// list that is not kept only lets cookies come again sooner.
uint32_t used_cookies_load(uint16_t* cookies, uint32_t capacity);
void used_cookies_save(const uint16_t* cookies, uint32_t count);
