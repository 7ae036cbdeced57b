// Clocks of the benchmarks: single-threaded figures use the thread's CPU time, so that
// other processes on a busy machine inflate them less; pool figures use wall time.
#pragma once

#include <time.h>

#include <chrono>

inline double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

inline double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
