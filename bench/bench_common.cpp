#include "bench_common.h"

#include <android/log.h>

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

}  // namespace atbench
