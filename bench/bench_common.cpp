#include "bench_common.h"

#include <android/log.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

namespace atbench {
namespace {

// The message has been formatted by the time it gets here; dropping it keeps
// stderr I/O out of the measurement.
void discardLogger(const struct __android_logger_data*, const char*) {}

}  // namespace

void setLogMode(LogMode mode) {
    __android_log_set_logger(discardLogger);
    __android_log_set_minimum_priority(mode == LogMode::Filtered ? ANDROID_LOG_WARN : ANDROID_LOG_VERBOSE);
}

const char* logModeLabel(LogMode mode) {
    return mode == LogMode::Filtered ? "info_filtered" : "info_discarded";
}

int runBenchmarks(int argc, char** argv, const char* countFlag, int (*counted)(long)) {
    const std::size_t flagLength = std::strlen(countFlag);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], countFlag, flagLength) == 0) return counted(std::atol(argv[i] + flagLength));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace atbench
