// The few pieces of the C++ runtime that standard containers (std::string,
// std::vector) need beyond their headers, so that no module links libstdc++:
// a wheel that needs today's libstdc++ cannot keep the manylinux_2_17 policy,
// and a static libstdc++ pulls in symbols of today's C library.  Only the
// modules that use such containers pull this in from the static library.
//
// The modules are built without exceptions, so what the library would throw
// (an allocation failure, a length beyond a container's maximum) ends the
// process with a message instead.
#include <Python.h>

#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr) Py_FatalError("out of memory in a C++ container");
  return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace std {
void __throw_bad_alloc() { Py_FatalError("out of memory in a C++ container"); }
void __throw_bad_array_new_length() { Py_FatalError("a C++ array length out of range"); }
void __throw_length_error(const char* what) { Py_FatalError(what); }
void __throw_logic_error(const char* what) { Py_FatalError(what); }
void __throw_out_of_range_fmt(const char* what, ...) { Py_FatalError(what); }
}  // namespace std
