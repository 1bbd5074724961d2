// Captures the Android log and the debug-log channels in the test process.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "osal/kova_types.h"

namespace attest {

struct LogLine {
    int priority;
    std::string tag, text;
};
struct DebugLine {
    UInt32 channel;
    std::string text;
};
using Lines = std::vector<std::pair<int, std::string>>;  // priority and text, in order

// The process's Android logger and debug-log hook while it lives; one at a time.
// count, has, countContaining and waitFor look at lines of tag "at" only.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<LogLine> lines() const;
    std::vector<DebugLine> debugLines() const;
    void clear();
    int count(int priority, const std::string& text) const;
    bool has(int priority, const std::string& text) const { return count(priority, text) > 0; }
    int countContaining(const std::string& fragment) const;
    bool waitFor(int priority, const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    std::string dump() const;  // every line, for failure messages
    // Runs on the logging thread, after the line is recorded, for each line of tag "at".
    static void setHook(void (*hook)(const std::string& text));
};
Lines linesOf(const LogCapture& log);

}  // namespace attest
