/* The benchmark's baseline: the least a launcher doing the same job must do.
 *
 * The same system calls as ZRK_START.exe in the same order (error mode, graphics library probe,
 * settings read, data file search, keyed settings write, game start, wait for input idle), with
 * nothing around them: no application object, no file classes, no path checks, one read and one
 * write of the whole settings file. It produces the same settings file as the launcher for the
 * benchmark's installations; files it was not made for it may get wrong. */
#include <string.h>
#include <windows.h>

static const char kKeys[] =
    "FOLDER= OPTION= CG= MUS= SND= VOICE1= VOICE2= BG= SIZE= POSITION= VOICE= BGM= SE= SPEED= "
    "ASPEED= FONTSMTH= FONTSHADOW= OVERLAP= EFFECT= KIDOKU= MIDOKU= SKIPKEY= SKIPTYPE= "
    "FULLSCREEN= CCOLOR= RCOLOR= KCOLOR= MCOLOR= VOLUMECHECK= VOLUMEMUS= VOLUMEVIC= VOLUMESND= "
    "DSNOUSE= NOMOVIE= DXSHOW= SAVELOADD= SAVELOADBP= DSMESSAGE= SOUNDOPT= SKIPSTOP= AUTOSTOP= "
    "WINDWALLP= WINDWPNTR= KCOLCHG= VOLUMEALL= VOLUMEDWN= MUSICDOWN= VOICECUT= WHEELBTN= "
    "RBTNCLICK= ALLSOUND= AUTOMCUR= WAKUBTNLOCK= BACKLOGTYPE= CURSORCLEAR= EXHSINVMSG= "
    "VOLUMEC01= VOLUMEC02= VOLUMEC03= ";

enum { kLines = 60, kFileSize = 64 * 1024 };

static char settingsIn[kFileSize];
static char settingsOut[kFileSize];

static char* Append(char* out, const char* text, int length) {
  CopyMemory(out, text, length);
  return out + length;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  char folder[MAX_PATH + 16];
  char settingsPath[MAX_PATH + 32];
  char path[MAX_PATH + 32];
  char* lineStart[kLines];
  int lineLength[kLines];
  HMODULE library;
  HANDLE file;
  DWORD size = 0;
  DWORD written = 0;
  int tries = 0;
  int keyed;
  int folderLength;
  int line;
  char* p;
  char* out;
  const char* key;
  STARTUPINFOA startup;
  PROCESS_INFORMATION game;
  char command[] = "ZRK_DL.exe";
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;

  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  while ((library = LoadLibraryA("d3dx9_40.dll")) == NULL) {
    if (++tries > 10) {
      MessageBoxA(NULL, "DirectX", "ZRK", MB_OK);
      ExitProcess(0);
    }
    Sleep(100);
  }
  FreeLibrary(library);

  folderLength = (int)GetCurrentDirectoryA(MAX_PATH, folder);
  folder[folderLength++] = '\\';
  folder[folderLength] = '\0';
  lstrcpyA(settingsPath, folder);
  lstrcatA(settingsPath, "DLTZRK_DL.INI");
  file =
      CreateFileA(settingsPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    MessageBoxA(NULL, "Not installed", "ZRK", MB_OK);
    return 0;
  }
  ReadFile(file, settingsIn, kFileSize - 1, &size, NULL);
  CloseHandle(file);

  /* Lines 0 to 59, each without its CR LF. */
  p = settingsIn;
  for (line = 0; line < kLines; ++line) {
    lineStart[line] = p;
    while (p < settingsIn + size && *p != '\r' && *p != '\n') ++p;
    lineLength[line] = (int)(p - lineStart[line]);
    if (p < settingsIn + size && *p == '\r') ++p;
    if (p < settingsIn + size && *p == '\n') ++p;
  }
  keyed = lineLength[1] >= 7 && memcmp(lineStart[1], "FOLDER=", 7) == 0;

  /* The data file in the install folder, else at the same path on a fixed or removable drive. */
  lstrcpyA(path, folder);
  lstrcatA(path, "ZRK_DLN.SD");
  file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    char root[] = "A:\\";
    for (; root[0] <= 'Z'; ++root[0]) {
      UINT type = GetDriveTypeA(root);
      if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE) continue;
      path[0] = root[0];
      file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
      if (file != INVALID_HANDLE_VALUE) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
      MessageBoxA(NULL, "Damaged", "Setup", MB_OK);
      ExitProcess(0);
    }
    folder[0] = root[0];
  }
  CloseHandle(file);

  /* The keyed form: header, every value behind its key, FOLDER the install folder, CD-ROM=C:. */
  out = Append(settingsOut, lineStart[0], lineLength[0]);
  out = Append(out, "\r\n", 2);
  key = kKeys;
  for (line = 1; line < kLines; ++line) {
    int keyLength = 0;
    while (key[keyLength] != ' ') ++keyLength;
    out = Append(out, key, keyLength);
    if (line == 1) {
      out = Append(out, folder, folderLength);
    } else if (keyed) {
      out = Append(out, lineStart[line] + keyLength, lineLength[line] - keyLength);
    } else {
      out = Append(out, lineStart[line], lineLength[line]);
    }
    out = Append(out, "\r\n", 2);
    key += keyLength + 1;
  }
  out = Append(out, "CD-ROM=C:\r\n", 11);
  file =
      CreateFileA(settingsPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  WriteFile(file, settingsOut, (DWORD)(out - settingsOut), &written, NULL);
  CloseHandle(file);

  SetCurrentDirectoryA(folder);
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (CreateProcessA(NULL, command, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, folder,
                     &startup, &game)) {
    CloseHandle(game.hThread);
    WaitForInputIdle(game.hProcess, INFINITE);
    CloseHandle(game.hProcess);
  }
  return 0;
}
