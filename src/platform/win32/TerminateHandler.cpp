// std::terminate without libstdc++'s verbose handler.
//
// By default libstdc++ ends an uncaught exception through __gnu_cxx::__verbose_terminate_handler,
// which names the exception's type on stderr before it aborts. Naming the type takes the C++
// demangler and MinGW's printf family, about half of ZRK_START.exe, and a GUI program has no
// stderr that anyone sees. Defined here, in an object linked directly into the executable, this
// plain abort is what the linker finds, so the verbose handler and all it needs stay out. The
// launch sequence catches its own exceptions; this runs only if that promise is ever broken.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx
