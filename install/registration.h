// registration.h - the product's entry in the system's list of programs
// that can be uninstalled.
#pragma once

// Logs the key, then writes the product's key QMK under the system's list
// of uninstallers (HKEY_LOCAL_MACHINE, SOFTWARE\Microsoft\Windows\CurrentVersion
// \Uninstall) with the REG_SZ values DisplayName and UninstallString, each
// stored with its terminating zero. True when the key was opened or created
// and both values were written and flushed. A line the log does not take
// leaves the registry untouched (false).
bool RegisterUninstall(const char* displayName, const char* uninstallCommand);
