/* Stand-in game for the benchmark: ready for input at once, gone soon after.
 *
 * It holds a named mutex while it runs, so that the timing program can wait for it to end before
 * the next run starts, enters its message loop at once (a launcher waiting for input idle is
 * released by the first wait for a message), and quits on its first timer tick. It writes
 * nothing, so that every run leaves the installation as it found it. */
#include <windows.h>

#include "bench_names.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  HANDLE running = CreateMutexA(NULL, TRUE, BENCH_GAME_MUTEX);
  MSG message;
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  /* A thread timer: no window is needed to have a message queue to be idle in. */
  SetTimer(NULL, 0, BENCH_GAME_LIFETIME_MS, NULL);
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    if (message.message == WM_TIMER) PostQuitMessage(0);
  }
  if (running != NULL) {
    ReleaseMutex(running);
    CloseHandle(running);
  }
  return 0;
}
