/* The floor of the benchmark: a GUI program that does nothing. Its time is what starting and
 * ending any program costs, the part of a launch that no launcher can save. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  return 0;
}
