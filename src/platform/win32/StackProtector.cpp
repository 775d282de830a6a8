// The stack protector's two symbols, defined in the executable itself.
//
// -fstack-protector-strong gives every function with a local array, or a local whose address is
// taken, a copy of __stack_chk_guard between its locals and its return address, and makes it call
// __stack_chk_fail when that copy has changed by the time it returns: a buffer overrun has reached
// the return address. GCC's own runtime for it (libssp) seeds the guard with CryptGenRandom from
// advapi32, a library the launcher does not import. Defined here, in an object of the executable
// (not of a library), these two are what the linker finds, and libssp stays out.
#include <windows.h>

#include <cstdint>

namespace {

// The guard until it is seeded: the value Microsoft's compilers start from, for the same reason
// (recognisable, and never 0).
#if defined(_WIN64)
constexpr std::uintptr_t kUnseededGuard = 0x00002B992DDFA232u;
#else
constexpr std::uintptr_t kUnseededGuard = 0xBB40E64Eu;
#endif

// IsProcessorFeaturePresent: __fastfail is there (Windows 8 and later). Not in the XP headers.
constexpr DWORD kFastFailAvailable = 23;
// The exit status of a stack buffer overrun, as Windows reports it (STATUS_STACK_BUFFER_OVERRUN).
constexpr UINT kStackBufferOverrun = 0xC0000409u;

}  // namespace

extern "C" {

// The value every protected frame keeps a copy of, seeded before any of them runs.
std::uintptr_t __stack_chk_guard = kUnseededGuard;

// A protected function found its copy of the guard changed: its stack can no longer be trusted,
// so nothing more of this process may run, no exception handler and no exit code of its own.
// Windows 8 and later end it at once by __fastfail (int 0x29, code 2 in ecx:
// FAST_FAIL_STACK_COOKIE_CHECK_FAILURE), which no handler of the process can intercept and which
// the error report names; older Windows by TerminateProcess with the same status.
// In a section of its own, which the linker puts into the file as a section of that name, so that
// tests/contract/check_executable.py can count the calls to it: one for every function that keeps
// a canary.
[[noreturn]] __attribute__((no_stack_protector, section(".stkfail"))) void __stack_chk_fail() {
  if (IsProcessorFeaturePresent(kFastFailAvailable)) {
    __asm__ volatile("movl $2, %%ecx\n\tint $0x29" ::: "ecx", "memory");
  }
  TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
  __builtin_trap();
}

}  // extern "C"

namespace {

// Seeds the guard from what differs between runs, as Microsoft's runtime seeds its cookie on
// systems that do not do it for the program: the time, the process and thread ids, the tick
// count, the performance counter, and where the stack lies (random under ASLR). Runs as a static
// constructor, before the entry point's code: the start-up frames below it are the C runtime's,
// which keep no copy of the guard, and each constructor that ran before it has returned, so no
// frame sees the guard change under it. This function itself keeps no copy.
__attribute__((constructor, no_stack_protector)) void SeedStackGuard() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  std::uint64_t seed = static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
  seed ^= static_cast<std::uint64_t>(GetCurrentProcessId()) << 32 ^ GetCurrentThreadId();
  seed ^= static_cast<std::uint64_t>(GetTickCount()) << 16;
  seed ^= static_cast<std::uint64_t>(counter.QuadPart) << 32 ^
          static_cast<std::uint64_t>(counter.QuadPart);
  seed ^= reinterpret_cast<std::uintptr_t>(&seed);
  // A 32-bit guard takes both halves.
  const auto guard =
      static_cast<std::uintptr_t>(sizeof(std::uintptr_t) < 8 ? seed ^ seed >> 32 : seed);
  __stack_chk_guard = guard != 0 ? guard : kUnseededGuard;
}

}  // namespace
