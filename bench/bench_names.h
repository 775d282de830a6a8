/* Names the benchmark's Windows programs share. */
#ifndef ZRK_BENCH_NAMES_H
#define ZRK_BENCH_NAMES_H

/* Held by the stand-in game for as long as it runs. */
#define BENCH_GAME_MUTEX "zrk_bench_game_running"

/* How long the stand-in game stays after it has become ready for input. */
#ifndef BENCH_GAME_LIFETIME_MS
#define BENCH_GAME_LIFETIME_MS 10
#endif

#endif
