/* Times launcher candidates inside Windows (or Wine), run by run, against their baselines.
 *
 *   bench_timer.exe [--runs N] [--warmup N] [--memory-runs N] [--raw FILE]
 *                   --pair NAME FOLDER LAUNCHER BASELINE [--pair ...] [--alone NAME FOLDER EXE]
 *
 * A pair is one scenario: the launcher and the baseline, both started in FOLDER (their current
 * directory) with this program's environment. A program --alone is timed the same way, in the
 * same rotation, but compared with nothing (a floor: what any program costs to start and end). Each
 * run starts every candidate once, alternating which one of a pair goes first, and times it from
 * CreateProcessA to the end of the process with QueryPerformanceCounter. After each candidate the
 * program waits until the stand-in game it started has ended too, so that runs do not overlap.
 *
 * Peak working sets: GetProcessMemoryInfo on the ended process's handle, before it is closed.
 * Wine keeps a process's counters only while its Unix process lives, so the handle of an ended
 * process often reads 0 there. Separate memory runs, not timed, therefore also read the counters
 * every millisecond while the candidate runs; a run's peak is the highest value seen.
 *
 * Prints per candidate the median, lowest and highest time and the median peak working set; per
 * pair the median of the run-by-run ratios launcher/baseline. Exit code 1 when a candidate could
 * not be started or did not end with exit code 0. */
/* psapi.h needs the types of windows.h before it. */
/* clang-format off */
#include <windows.h>
#include <psapi.h>
/* clang-format on */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_names.h"

enum { kMaxPairs = 8, kMaxRuns = 1000, kSettleMs = 20, kGameEndMs = 10000 };

typedef struct {
  const char* exe;
  double ms[kMaxRuns];
  double peak[kMaxRuns]; /* bytes, one per memory run */
  int failures;
} Candidate;

typedef struct {
  const char* name;
  const char* folder;
  Candidate candidate[2]; /* 0: launcher, 1: baseline (exe null when alone) */
} Pair;

static Pair pairs[kMaxPairs];
static int pairCount;
static double frequency;

static int CompareDoubles(const void* a, const void* b) {
  const double x = *(const double*)a;
  const double y = *(const double*)b;
  return (x > y) - (x < y);
}

static double Median(const double* values, int count) {
  double sorted[kMaxRuns];
  memcpy(sorted, values, sizeof(double) * (size_t)count);
  qsort(sorted, (size_t)count, sizeof(double), CompareDoubles);
  return count % 2 ? sorted[count / 2] : (sorted[count / 2 - 1] + sorted[count / 2]) / 2;
}

static double Lowest(const double* values, int count) {
  double low = values[0];
  for (int i = 1; i < count; ++i) low = values[i] < low ? values[i] : low;
  return low;
}

static double Highest(const double* values, int count) {
  double high = values[0];
  for (int i = 1; i < count; ++i) high = values[i] > high ? values[i] : high;
  return high;
}

static SIZE_T PeakWorkingSet(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters;
  ZeroMemory(&counters, sizeof counters);
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

/* Waits until the stand-in game started by the last candidate has ended, then lets the system
 * settle. The game holds its mutex from before it becomes ready until it ends. */
static void WaitForGameEnd(void) {
  HANDLE running = OpenMutexA(SYNCHRONIZE, FALSE, BENCH_GAME_MUTEX);
  if (running != NULL) {
    const DWORD result = WaitForSingleObject(running, kGameEndMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(running);
    if (result == WAIT_TIMEOUT) fprintf(stderr, "the stand-in game did not end in time\n");
    CloseHandle(running);
  }
  Sleep(kSettleMs);
}

/* Starts one candidate and waits for it to end. Returns the time in milliseconds, or a negative
 * value when it could not be started. `peak` receives the peak working set read from the ended
 * process, or with `sampleMemory` the highest one read while it ran or after it ended. */
static double RunCandidate(const Pair* pair, Candidate* candidate, int sampleMemory, SIZE_T* peak) {
  char command[MAX_PATH + 3];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  LARGE_INTEGER begin;
  LARGE_INTEGER end;
  DWORD exitCode = 0;

  snprintf(command, sizeof command, "\"%s\"", candidate->exe);
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;

  QueryPerformanceCounter(&begin);
  if (!CreateProcessA(candidate->exe, command, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL,
                      pair->folder, &startup, &process)) {
    fprintf(stderr, "%s: cannot start %s (error %lu)\n", pair->name, candidate->exe,
            (unsigned long)GetLastError());
    ++candidate->failures;
    return -1;
  }
  *peak = 0;
  if (sampleMemory) {
    while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
      const SIZE_T now = PeakWorkingSet(process.hProcess);
      if (now > *peak) *peak = now;
    }
  } else {
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  QueryPerformanceCounter(&end);

  GetExitCodeProcess(process.hProcess, &exitCode);
  {
    const SIZE_T atEnd = PeakWorkingSet(process.hProcess);
    if (atEnd > *peak) *peak = atEnd;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (exitCode != 0) {
    fprintf(stderr, "%s: %s ended with exit code %lu\n", pair->name, candidate->exe,
            (unsigned long)exitCode);
    ++candidate->failures;
  }
  WaitForGameEnd();
  return (double)(end.QuadPart - begin.QuadPart) * 1000.0 / frequency;
}

static const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '\\');
  return slash ? slash + 1 : path;
}

static int Usage(void) {
  fprintf(stderr,
          "usage: bench_timer.exe [--runs N] [--warmup N] [--memory-runs N] [--raw FILE]\n"
          "                       --pair NAME FOLDER LAUNCHER BASELINE [--pair ...]\n"
          "                       [--alone NAME FOLDER EXE]\n");
  return 2;
}

int main(int argc, char** argv) {
  int runs = 15;
  int warmup = 2;
  int memoryRuns = 5;
  const char* rawPath = NULL;
  FILE* raw = NULL;
  LARGE_INTEGER ticks;
  int failed = 0;

  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--warmup") == 0 && i + 1 < argc) {
      warmup = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--memory-runs") == 0 && i + 1 < argc) {
      memoryRuns = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--raw") == 0 && i + 1 < argc) {
      rawPath = argv[++i];
    } else if (strcmp(argv[i], "--pair") == 0 && i + 4 < argc && pairCount < kMaxPairs) {
      Pair* pair = &pairs[pairCount++];
      pair->name = argv[i + 1];
      pair->folder = argv[i + 2];
      pair->candidate[0].exe = argv[i + 3];
      pair->candidate[1].exe = argv[i + 4];
      i += 4;
    } else if (strcmp(argv[i], "--alone") == 0 && i + 3 < argc && pairCount < kMaxPairs) {
      Pair* pair = &pairs[pairCount++];
      pair->name = argv[i + 1];
      pair->folder = argv[i + 2];
      pair->candidate[0].exe = argv[i + 3];
      i += 3;
    } else {
      return Usage();
    }
  }
  if (pairCount == 0 || runs < 1 || runs > kMaxRuns || warmup < 0 || memoryRuns < 1 ||
      memoryRuns > kMaxRuns) {
    return Usage();
  }
  QueryPerformanceFrequency(&ticks);
  frequency = (double)ticks.QuadPart;
  if (rawPath != NULL && (raw = fopen(rawPath, "w")) != NULL) {
    fprintf(raw, "scenario\tcandidate\trun\tms\tpeak_working_set_bytes_at_end\n");
  }

  /* Runs below 0 are the warm-up: file cache, Wine's services, the loader's caches. */
  for (int run = -warmup; run < runs; ++run) {
    for (int p = 0; p < pairCount; ++p) {
      Pair* pair = &pairs[p];
      const int first = (run + p) & 1; /* alternate which candidate of a pair goes first */
      for (int k = 0; k < 2; ++k) {
        const int c = first ^ k;
        Candidate* candidate = &pair->candidate[c];
        SIZE_T peak = 0;
        if (candidate->exe == NULL) continue;
        const double ms = RunCandidate(pair, candidate, 0, &peak);
        if (run < 0) continue;
        candidate->ms[run] = ms;
        if (raw != NULL) {
          fprintf(raw, "%s\t%s\t%d\t%.3f\t%lu\n", pair->name, BaseName(candidate->exe), run, ms,
                  (unsigned long)peak);
        }
      }
    }
    if (run >= 0) fprintf(stderr, "run %d of %d\n", run + 1, runs);
  }

  /* Memory runs, alternating too. */
  for (int run = 0; run < memoryRuns; ++run) {
    for (int p = 0; p < pairCount; ++p) {
      for (int k = 0; k < 2; ++k) {
        Candidate* candidate = &pairs[p].candidate[((run + p) & 1) ^ k];
        SIZE_T peak = 0;
        if (candidate->exe == NULL) continue;
        RunCandidate(&pairs[p], candidate, 1, &peak);
        candidate->peak[run] = (double)peak;
      }
    }
  }
  if (raw != NULL) fclose(raw);

  printf("%-10s %-22s %9s %9s %9s %12s\n", "scenario", "candidate", "median", "lowest", "highest",
         "peak WS");
  printf("%-10s %-22s %9s %9s %9s %12s\n", "", "", "ms", "ms", "ms", "KiB");
  for (int p = 0; p < pairCount; ++p) {
    for (int c = 0; c < 2; ++c) {
      const Candidate* candidate = &pairs[p].candidate[c];
      if (candidate->exe == NULL) continue;
      printf("%-10s %-22s %9.1f %9.1f %9.1f %12.0f\n", pairs[p].name, BaseName(candidate->exe),
             Median(candidate->ms, runs), Lowest(candidate->ms, runs), Highest(candidate->ms, runs),
             Median(candidate->peak, memoryRuns) / 1024.0);
      if (candidate->failures) failed = 1;
    }
  }
  printf("\nlauncher/baseline, median of the run-by-run ratios (lowest, highest):\n");
  for (int p = 0; p < pairCount; ++p) {
    double ratios[kMaxRuns];
    if (pairs[p].candidate[1].exe == NULL) continue;
    for (int r = 0; r < runs; ++r) {
      ratios[r] = pairs[p].candidate[0].ms[r] / pairs[p].candidate[1].ms[r];
    }
    printf("  %-10s %.3f (%.3f, %.3f)\n", pairs[p].name, Median(ratios, runs), Lowest(ratios, runs),
           Highest(ratios, runs));
  }
  printf(
      "\n%d timed runs per candidate after %d warm-up runs; peak working set: median of %d "
      "memory runs.\n",
      runs, warmup, memoryRuns);
  if (failed) printf("SOME CANDIDATE RUNS FAILED: see the messages above\n");
  return failed;
}
