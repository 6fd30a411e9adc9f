// runtime.cpp - what qmk.exe takes from the C++ library's failure paths,
// without exceptions. The library's own versions throw, and would bring the
// exception machinery and its demangler (most of the program's weight) for
// failures that here can only mean an exhausted heap or a broken invariant:
// the process ends instead.
#include <cstdlib>
#include <new>

namespace {

[[noreturn]] void Fail() { std::abort(); }

void* AllocateOrAbort(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) Fail();
  return p;
}

}  // namespace

namespace std {
void __throw_bad_alloc() { Fail(); }
void __throw_bad_array_new_length() { Fail(); }
void __throw_length_error(const char*) { Fail(); }
void __throw_logic_error(const char*) { Fail(); }
void __throw_out_of_range_fmt(const char*, ...) { Fail(); }
}  // namespace std

void* operator new(std::size_t size) { return AllocateOrAbort(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
