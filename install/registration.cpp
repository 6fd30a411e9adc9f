// registration.cpp - the uninstall key, written after its log line.
#include "install/registration.h"

#include "install/logcreaterunit.h"
#include "platform/platform.h"

bool RegisterUninstall(const char* displayName, const char* uninstallCommand) {
  if (!LogItem("reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK")) return false;
  const intptr_t key = platform->createRegistryKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\", "QMK");
  if (!key) return false;
  bool ok = platform->setRegistryString(key, "DisplayName", displayName);
  ok = platform->setRegistryString(key, "UninstallString", uninstallCommand) && ok;
  ok = platform->flushRegistryKey(key) && ok;
  platform->closeRegistryKey(key);
  return ok;
}
