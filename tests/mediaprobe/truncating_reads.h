// Deterministic truncation for tests: this test program's own pread (and
// pread64) stand in front of the C library's, so the library code linked into
// it reads through them. Armed, they shorten a file on disk just before a
// chosen read, i.e. after the probe has opened and sized the file.
#pragma once

#include <cstdint>

// Before the (readsFirst + 1)-th pread from now on, truncate path to size
// bytes (once). Replaces any earlier arming.
void truncateBeforeRead(const char *path, uint64_t size, int readsFirst = 0);

// Cancels an arming that has not fired; returns whether it had fired.
bool disarmTruncation();

// preads seen since the last arming, fired or not.
int preadsSinceArming();
