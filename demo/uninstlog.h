// uninstlog.h - reading uninstall.list: what each line asks the uninstaller
// to remove.
//
// The installer writes one line per item it creates, before creating it:
//   mkd: ANCESTOR\ ::: REST     the installation directory's new part: every
//                               component of REST was created under
//                               ANCESTOR (the line's last character, the
//                               backslash ending REST, is cut off; a
//                               directory that already existed leaves
//                               "mkd: DIR\ :::" with nothing after it)
//   mkd: CURRENT ::: PATH       a directory PATH made below CURRENT (no
//                               backslash before the separator, except
//                               when CURRENT is a drive root such as C:\)
//   CURRENT\ENTRY               an extracted file (C:\\name at a drive root)
//   LINK                        a Start-menu shortcut, an absolute path
//   reg: KEY\ ::: SUBKEY        the registry key HKEY_LOCAL_MACHINE\KEY\SUBKEY
// Both "mkd: " forms read the same way: the components of the right-hand
// side, joined below the left-hand side, are removed deepest first.
//
// Everything is checked before it is trusted: paths must be absolute
// (X:\... or \\server\share\...), components may not be empty, "." or "..",
// and may not hold characters Windows refuses in names (so no ':', and with
// it no stray " ::: "). A line that does not pass is of unknown form and
// names nothing; the uninstaller reports it rather than guess.
//
// The removal itself (RemoveLogged) reaches the system only through the
// calls it is handed, so the same logic runs in qmk.exe against Windows and
// in the installer's tests against their in-memory system, right after an
// installation that was stopped at any point.
//
// Portable: no operating-system calls, so it is unit-tested natively too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace uninstlog {

enum class ItemKind {
  kNothing,      // an empty line, or an install root that created nothing
  kFile,         // delete `paths[0]` as a file (extracted file or shortcut)
  kDirectories,  // remove `paths` in order, deepest first, each once empty
  kRegistryKey,  // delete HKEY_LOCAL_MACHINE\`paths[0]`
  kUnknown,      // not a line the installer writes: touch nothing
};

struct Item {
  ItemKind kind = ItemKind::kNothing;
  std::vector<std::string> paths;
};

// What one line (without its CR LF) names. Paths come back normalised:
// no doubled or trailing backslashes, except that a drive root keeps its
// own ("C:\").
Item ParseLine(std::string_view line);

// The file split into lines at CR LF (a bare LF is taken too); a last line
// without a line end counts, an empty tail after the last one does not.
std::vector<std::string> SplitLines(std::string_view text);

// The normalised form of an absolute Windows path, or "" when it is not one
// (see above for what is accepted). A doubled backslash is allowed only
// right after the root, where the installer writes one for files at a
// drive root; a trailing backslash is dropped.
std::string NormalizeAbsolute(std::string_view path);

// Case-insensitive (ASCII) equality of two normalised paths.
bool SamePath(std::string_view a, std::string_view b);

// What the removal needs of the system, with Win32 meanings.
struct RemovalOps {
  uint32_t (*attributes)(const char* path);  // 0xFFFFFFFF when missing
  bool (*setAttributes)(const char* path, uint32_t attributes);
  bool (*deleteFile)(const char* path);
  bool (*removeDirectory)(const char* path);
  bool (*keyExists)(const char* key);  // below HKEY_LOCAL_MACHINE
  bool (*deleteKey)(const char* key);
};

constexpr int kRemovedAll = 0;     // everything listed is gone
constexpr int kSomethingLeft = 1;  // the report names what is left or not understood

// Removes what `logText` (the bytes of uninstall.list in `installDir`, the
// installation directory as an absolute path) names, following the log
// backwards: files and shortcuts are deleted (a read-only bit cleared
// first), directories removed only once empty, registry keys deleted.
// Nothing that is not listed is touched, except uninstall.list itself,
// deleted just before the installation directory. A directory that a later
// line would have emptied gets a second try at the end. A last line without
// its CR LF was cut short as it was written, and the installer creates an
// item only after its whole line is in the log: it names nothing and is
// passed over. Appends to `report` one line per item still there
// ("not removed: PATH", "not removed: HKEY_LOCAL_MACHINE\KEY") or line not
// understood ("not understood: LINE"); returns kRemovedAll or kSomethingLeft.
int RemoveLogged(std::string_view logText, const std::string& installDir, const RemovalOps& ops,
                 std::vector<std::string>* report);

}  // namespace uninstlog
