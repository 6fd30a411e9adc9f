/* plugin.c - one of the demo product's plug-ins. The same source is built
 * once per plug-in, with its name and what it does passed in as
 * QMK_PLUGIN_NAME and QMK_PLUGIN_TITLE, so the payload holds six real,
 * different DLLs, each exporting the two functions the product would look
 * for. */
#include <windows.h>

#define QMK_EXPORT __declspec(dllexport)

/* The plug-in's short name, e.g. "pdf". */
QMK_EXPORT const char* __stdcall QmkPluginName(void) { return QMK_PLUGIN_NAME; }

/* What the plug-in adds to the product, for its menu. */
QMK_EXPORT const char* __stdcall QmkPluginTitle(void) { return QMK_PLUGIN_TITLE; }

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(inst);
  return TRUE;
}
