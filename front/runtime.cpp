// runtime.cpp - the allocation operators of the installer, over the C
// run-time's heap. The library's versions report failure by exception and
// would bring the whole exception machinery into a program that has none;
// the installer only allocates with std::nothrow and checks for null.
#include <windows.h>

#include <cstdlib>
#include <new>

// The tag object of the nothrow forms, which the C++ library would
// otherwise supply.
namespace std {
const nothrow_t nothrow{};
}  // namespace std

namespace {

// A plain new must not return null; without exceptions it ends the process.
void* AllocateOrAbort(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) std::abort();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrAbort(size); }
void* operator new[](std::size_t size) { return AllocateOrAbort(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// The program's entry point, in place of the C run-time's start-up code:
// the installer has no constructors to run, no main arguments and no
// floating point to set up, and msvcrt.dll sets itself up when it loads.
// WinMain's result is the exit code.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

extern "C" void WinMainCRTStartup() {
  ExitProcess(UINT(WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWNORMAL)));
}
