// A GUI program for the contract tests' process starts (and, built with ZRK_CONSOLE_CHILD, the
// same as a console program, which has no message queue that WaitForInputIdle could wait on). It
// writes how it was started into "child_report.txt" beside its own executable (its current
// directory, then its command line, one per line), then waits for input in its message loop, as a
// game does, until it is ended or a minute has passed.
#include <windows.h>

namespace {

constexpr UINT kLifetimeMs = 60 * 1000;

// The folder of this executable, with its backslash, followed by `fileName`.
bool besideExecutable(const char* fileName, char* path, DWORD size) {
  const DWORD length = GetModuleFileNameA(nullptr, path, size);
  if (length == 0 || length >= size) return false;
  char* slash = path + length;
  while (slash > path && slash[-1] != '\\') --slash;
  if (static_cast<DWORD>(slash - path) + lstrlenA(fileName) >= size) return false;
  lstrcpyA(slash, fileName);
  return true;
}

void writeAll(HANDLE file, const char* text) {
  DWORD written = 0;
  WriteFile(file, text, lstrlenA(text), &written, nullptr);
}

void writeReport() {
  char path[MAX_PATH];
  if (!besideExecutable("child_report.txt", path, MAX_PATH)) return;
  char directory[MAX_PATH];
  if (GetCurrentDirectoryA(MAX_PATH, directory) == 0) directory[0] = '\0';
  const HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  writeAll(file, directory);
  writeAll(file, "\n");
  writeAll(file, GetCommandLineA());
  writeAll(file, "\n");
  CloseHandle(file);
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  writeReport();
  // A thread timer (no window): the program ends by itself if nobody ends it.
  SetTimer(nullptr, 0, kLifetimeMs, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER) break;
    DispatchMessageA(&message);
  }
  return 0;
}

#ifdef ZRK_CONSOLE_CHILD
int main() {
  return WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
}
#endif
