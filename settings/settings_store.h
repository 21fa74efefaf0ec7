// The settings and the access list in the registry, under HKEY_LOCAL_MACHINE:
// "Software\Quorvel3\HardPlugins\Plexador" (AllowAll, DisableAbuseProtection, Port, Password)
// and its "AccessList" subkey (AccessList000, AccessList001, ...).
//
// settings_load runs on the host's thread (qvl_open); settings_save on the settings dialog's
// thread. Both may run while client threads read the settings and the list.
#pragma once

void settings_load();
void settings_save();
