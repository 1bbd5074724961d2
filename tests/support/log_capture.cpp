#include "log_capture.h"

#include <android/log.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sstream>

#include "platform/kovacutils/kovacutils_host.h"

namespace attest {
namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<LogLine> g_lines;
std::vector<DebugLine> g_debug;

void logger(const struct __android_logger_data* data, const char* message) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines.push_back({data->priority, data->tag != nullptr ? data->tag : "", message != nullptr ? message : ""});
    g_changed.notify_all();
}

void debugHook(UInt32 channel, const char* text) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_debug.push_back({channel, text});
    g_changed.notify_all();
}

// Caller holds g_lock.
int countLocked(int priority, const std::string& text) {
    return static_cast<int>(std::count_if(g_lines.begin(), g_lines.end(), [&](const LogLine& line) {
        return line.tag == "at" && line.priority == priority && line.text == text;
    }));
}

}  // namespace

LogCapture::LogCapture() {
    clear();
    __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
    __android_log_set_logger(logger);
    KOVA_SetDebugLogHook(debugHook);
}

LogCapture::~LogCapture() {
    __android_log_set_logger(__android_log_stderr_logger);
    KOVA_SetDebugLogHook(nullptr);
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines;
}

std::vector<DebugLine> LogCapture::debugLines() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_debug;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines.clear();
    g_debug.clear();
}

int LogCapture::count(int priority, const std::string& text) const {
    std::lock_guard<std::mutex> guard(g_lock);
    return countLocked(priority, text);
}

int LogCapture::countContaining(const std::string& fragment) const {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<int>(std::count_if(g_lines.begin(), g_lines.end(), [&](const LogLine& line) {
        return line.tag == "at" && line.text.find(fragment) != std::string::npos;
    }));
}

bool LogCapture::waitFor(int priority, const std::string& text, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> guard(g_lock);
    return g_changed.wait_for(guard, limit, [&] { return countLocked(priority, text) > 0; });
}

std::string LogCapture::dump() const {
    std::lock_guard<std::mutex> guard(g_lock);
    std::ostringstream out;
    for (const auto& line : g_lines) out << line.priority << " " << line.tag << ": " << line.text << "\n";
    return out.str();
}

Lines linesOf(const LogCapture& log) {
    Lines got;
    for (const auto& line : log.lines()) got.emplace_back(line.priority, line.text);
    return got;
}

}  // namespace attest
