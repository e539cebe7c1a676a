// A slow disk, for running the tests by hand: every fsync, fdatasync and syncfs sleeps for
// LUMERIN_SLOW_FSYNC_MS milliseconds (300 when unset) before it does its work.
//
//   cc -shared -fPIC -O2 -o slowfsync.so tests/tools/slowfsync.c -ldl
//   LD_PRELOAD=$PWD/slowfsync.so ctest --test-dir build -j4
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static void Lag(void) {
  const char* ms = getenv("LUMERIN_SLOW_FSYNC_MS");
  const long n = ms != NULL ? atol(ms) : 300;
  struct timespec t = {n / 1000, (n % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

#define SLOWED(name)                                                \
  int name(int fd) {                                                \
    static int (*real)(int) = NULL;                                 \
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, #name); \
    Lag();                                                          \
    return real(fd);                                                \
  }

SLOWED(fsync)
SLOWED(fdatasync)
SLOWED(syncfs)
