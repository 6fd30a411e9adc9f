// shortcuts.cpp - shell links through the shell's own link object.
#include "install/shortcuts.h"

#include <objidl.h>
#include <shlobj.h>

#include <cstring>

#include "install/logcreaterunit.h"

bool GetProgramsFolder(char* buffer) {
  buffer[0] = 0;
  LPITEMIDLIST list = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list)) || !list) return false;
  // The shell writes at most MAX_PATH characters, well inside the buffer.
  const bool found = SHGetPathFromIDListA(list, buffer) && buffer[0];
  CoTaskMemFree(list);
  if (!found) buffer[0] = 0;
  return found;
}

HRESULT CreateShortcut(const char* target, const char* link, const char* description, const char* arguments,
                       int icon) {
  wchar_t wideLink[MAX_PATH];
  if (strlen(link) >= MAX_PATH) return E_INVALIDARG;
  // The working directory is the target's directory without its final "\".
  char directory[kShortcutPathSize];
  strncpy(directory, target, sizeof directory - 1);
  directory[sizeof directory - 1] = 0;
  char* cut = strrchr(directory, '\\');
  if (cut) *cut = 0;

  IShellLinkA* shellLink = nullptr;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                    reinterpret_cast<void**>(&shellLink));
  if (FAILED(result)) return result;
  shellLink->SetPath(target);
  shellLink->SetWorkingDirectory(directory);
  shellLink->SetDescription(description);
  shellLink->SetArguments(arguments);
  if (icon != 0) shellLink->SetIconLocation(target, icon);
  IPersistFile* file = nullptr;
  result = shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (FAILED(result)) {
    shellLink->Release();
    return result;
  }
  if (InstallLog) InstallLog->WriteLine(link);
  MultiByteToWideChar(CP_ACP, 0, link, -1, wideLink, MAX_PATH);
  result = file->Save(wideLink, TRUE);
  file->Release();
  shellLink->Release();
  return result;
}
