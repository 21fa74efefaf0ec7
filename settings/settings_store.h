// The settings and the access list in the registry, under HKEY_LOCAL_MACHINE:
// "Software\Quorvel3\HardPlugins\Plexador" (AllowAll, DisableAbuseProtection, Port, Password)
// and its "AccessList" subkey (AccessList000, AccessList001, ...).
//
// settings_load runs on the host's thread (qvl_open); settings_save on the settings dialog's
// thread. Both may run while client threads read the settings and the list.
#pragma once

void settings_load();
// Saves everything; a failure shows "Cannot SaveSettings". all_taken false: a value the user
// entered could not be kept in memory, so what is in force was saved and the save is
// reported as failed all the same.
void settings_save(bool all_taken = true);
