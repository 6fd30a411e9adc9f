// registration.cpp - the uninstall key, written after its log line.
#include "install/registration.h"

#include <windows.h>

#include <cstring>

#include "install/logcreaterunit.h"

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

bool SetString(HKEY key, const char* name, const char* value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), DWORD(strlen(value) + 1)) ==
         ERROR_SUCCESS;
}

}  // namespace

bool RegisterUninstall(const char* displayName, const char* uninstallCommand) {
  if (InstallLog) InstallLog->WriteLine("reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK");
  HKEY parent = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS) return false;
  HKEY product = nullptr;
  bool ok = RegCreateKeyExA(parent, "QMK", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &product,
                            nullptr) == ERROR_SUCCESS;
  if (ok) {
    ok = SetString(product, "DisplayName", displayName);
    ok = SetString(product, "UninstallString", uninstallCommand) && ok;
    ok = RegFlushKey(product) == ERROR_SUCCESS && ok;
    RegCloseKey(product);
  }
  RegCloseKey(parent);
  return ok;
}
