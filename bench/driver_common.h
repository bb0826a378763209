// Pieces shared by the benchmark drivers: the library's diagnostics go to
// /dev/null (the library still prints every line; only the destination
// changes), results go to standard error as one "key=value" line that
// bench/run.py parses.
#ifndef CORVANE_BENCH_DRIVER_COMMON_H
#define CORVANE_BENCH_DRIVER_COMMON_H

#include <chrono>
#include <cstdio>

// Sends the library's printf output to /dev/null.  Standard output stays
// fully buffered, as it is whenever it is not a terminal.
inline bool SilenceLibraryOutput() { return std::freopen("/dev/null", "w", stdout) != nullptr; }

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#endif
