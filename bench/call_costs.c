/* What each system call of a launch costs here: every call the launcher or the baseline makes,
 * repeated and timed with QueryPerformanceCounter, in the current directory (an installation
 * with DLTZRK_DL.INI and ZRK_DLN.SD). Argument: a fixed drive root that lacks the installation's
 * folder, for the calls that miss. Prints microseconds per call. */
#include <stdio.h>
#include <windows.h>

enum { kRepeats = 100 };

static double frequency;

static double Now(void) {
  LARGE_INTEGER ticks;
  QueryPerformanceCounter(&ticks);
  return (double)ticks.QuadPart * 1e6 / frequency;
}

static void Report(const char* what, double begin, int repeats) {
  printf("  %-52s %8.1f us\n", what, (Now() - begin) / repeats);
}

int main(int argc, char** argv) {
  const char* otherRoot = argc > 1 ? argv[1] : "E:\\";
  char folder[MAX_PATH];
  char settings[MAX_PATH + 16];
  char data[MAX_PATH + 16];
  char temp[MAX_PATH + 16];
  char missing[MAX_PATH + 16];
  char root[4] = {0, ':', '\\', 0};
  char buffer[MAX_PATH];
  char* filePart;
  DWORD flags = 0;
  DWORD done = 0;
  WIN32_FIND_DATAA found;
  LARGE_INTEGER ticks;
  double begin;
  int i;

  QueryPerformanceFrequency(&ticks);
  frequency = (double)ticks.QuadPart;
  GetCurrentDirectoryA(MAX_PATH, folder);
  root[0] = folder[0];
  snprintf(settings, sizeof settings, "%s\\DLTZRK_DL.INI", folder);
  snprintf(data, sizeof data, "%s\\ZRK_DLN.SD", folder);
  snprintf(temp, sizeof temp, "%s\\call_costs.tmp", folder);
  snprintf(missing, sizeof missing, "%c%s\\ZRK_DLN.SD", otherRoot[0], folder + 1);

  printf("cost of one call, in %s (missing file: %s)\n", folder, missing);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) GetDriveTypeA(otherRoot);
  Report("GetDriveTypeA", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) GetFullPathNameA(settings, MAX_PATH, buffer, &filePart);
  Report("GetFullPathNameA", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) GetVolumeInformationA(root, NULL, 0, NULL, NULL, &flags, NULL, 0);
  Report("GetVolumeInformationA (flags only)", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) {
    HANDLE search = FindFirstFileA(settings, &found);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
  }
  Report("FindFirstFileA + FindClose, file present", begin, kRepeats);
  snprintf(buffer, sizeof buffer, "%s\\ZRK*.TMP", folder);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) FindFirstFileA(buffer, &found);
  Report("FindFirstFileA, nothing matches (the start-up check)", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) {
    /* Looked up as the launcher looks it up: XP has no such call. */
    typedef DWORD(WINAPI * FinalPath)(HANDLE, LPSTR, DWORD, DWORD);
    const FinalPath finalPath = (FinalPath)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA");
    HANDLE handle = CreateFileA(folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (finalPath != NULL) finalPath(handle, buffer, sizeof buffer, 0);
    CloseHandle(handle);
  }
  Report("a folder's final path: CreateFileA, GetFinalPathName..., Close", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) GetFileAttributesA(settings);
  Report("GetFileAttributesA", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) {
    CloseHandle(
        CreateFileA(data, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
  }
  Report("CreateFileA (read, present) + CloseHandle", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) {
    CreateFileA(missing, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  }
  Report("CreateFileA (read, missing)", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats; ++i) {
    HANDLE file =
        CreateFileA(temp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    WriteFile(file, "ZRK\r\n", 5, &done, NULL);
    CloseHandle(file);
  }
  Report("CreateFileA (write) + WriteFile + CloseHandle", begin, kRepeats);
  begin = Now();
  for (i = 0; i < kRepeats / 10; ++i) {
    HANDLE file =
        CreateFileA(temp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    WriteFile(file, "ZRK\r\n", 5, &done, NULL);
    FlushFileBuffers(file);
    CloseHandle(file);
  }
  Report("the same with FlushFileBuffers", begin, kRepeats / 10);
  begin = Now();
  for (i = 0; i < kRepeats / 10; ++i) {
    snprintf(buffer, sizeof buffer, "%s.2", temp);
    CloseHandle(
        CreateFileA(buffer, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    MoveFileExA(buffer, temp, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
  Report("CreateFileA + CloseHandle + MoveFileExA", begin, kRepeats / 10);
  DeleteFileA(temp);
  begin = Now();
  for (i = 0; i < kRepeats / 10; ++i) FreeLibrary(LoadLibraryA("d3dx9_40.dll"));
  Report("LoadLibraryA + FreeLibrary of d3dx9_40.dll", begin, kRepeats / 10);
  return 0;
}
