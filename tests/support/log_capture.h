// Captures the library's Android log lines and debug-log channel output in the
// test process, so tests can compare whole texts.
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

// Installs itself as the process's Android logger and debug-log hook while it
// lives. One at a time. Counting and waiting look at lines of tag "at" only.
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
    // Waits until a line with this priority and text has been logged.
    bool waitFor(int priority, const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    std::string dump() const;  // every line, one per line, for failure messages
};

// Priority and text of every line, in order, for comparing a whole log.
using Lines = std::vector<std::pair<int, std::string>>;
Lines linesOf(const LogCapture& log);

}  // namespace attest
