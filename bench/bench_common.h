// Shared pieces of the benchmarks: how the library's log lines are treated
// while a case runs, and a way to wait for another thread without sleeping.
#pragma once

// Instruction counting under valgrind --tool=callgrind (see callgrind.sh).
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
// Without valgrind's header the counting mode still runs, uncounted.
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

#include <atomic>
#include <thread>

namespace atbench {

// Info lines filtered out by priority (the setting a product build would
// use), or kept on and formatted but handed to a logger that drops them, so
// that the cost of formatting is measured but not the terminal's or a file's.
// Error lines go to the same discarding logger in both modes.
enum class LogMode { Filtered = 0, Discarded = 1 };

void setLogMode(LogMode mode);
const char* logModeLabel(LogMode mode);

// The benchmarks' main. With "<countFlag>N" on the command line (for example
// "--callgrind_roundtrips=") it runs `counted(N)` alone, for instruction
// counting under callgrind (see callgrind.sh), and returns its result;
// otherwise it runs the registered timed cases.
int runBenchmarks(int argc, char** argv, const char* countFlag, int (*counted)(long));

// Spins for a short while, then yields: the machine has two cores, and a
// waiter that never yields would take the core from the thread it waits for.
inline void relax(unsigned& spins) {
    if (++spins < 64) return;
    std::this_thread::yield();
}

}  // namespace atbench
