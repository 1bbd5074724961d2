#include "log_capture.h"

#include <android/log.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/kovacutils/kovacutils_host.h"

namespace attest {
namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<LogLine> g_lines;
std::vector<DebugLine> g_debug;
std::atomic<void (*)(const std::string&)> g_hook{nullptr};

template <typename F>
auto locked(F f) {
    std::lock_guard<std::mutex> guard(g_lock);
    return f();
}
int countAt(const std::function<bool(const LogLine&)>& match) {  // the caller holds g_lock
    return static_cast<int>(
        std::count_if(g_lines.begin(), g_lines.end(), [&](const LogLine& l) { return l.tag == "at" && match(l); }));
}
std::function<bool(const LogLine&)> exactly(int priority, const std::string& text) {
    return [priority, text](const LogLine& l) { return l.priority == priority && l.text == text; };
}

}  // namespace

LogCapture::LogCapture() {
    clear();
    __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
    __android_log_set_logger([](const struct __android_logger_data* data, const char* message) {
        locked([&] { g_lines.push_back({data->priority, data->tag ? data->tag : "", message ? message : ""}); });
        g_changed.notify_all();
        if (auto hook = g_hook.load(); hook != nullptr && data->tag != nullptr && std::string(data->tag) == "at")
            hook(message ? message : "");
    });
    KOVA_SetDebugLogHook([](UInt32 channel, const char* text) { locked([&] { g_debug.push_back({channel, text}); }); });
}

void LogCapture::setHook(void (*hook)(const std::string&)) { g_hook.store(hook); }

LogCapture::~LogCapture() {
    g_hook.store(nullptr);
    __android_log_set_logger(__android_log_stderr_logger);
    KOVA_SetDebugLogHook(nullptr);
}

std::vector<LogLine> LogCapture::lines() const { return locked([] { return g_lines; }); }
std::vector<DebugLine> LogCapture::debugLines() const { return locked([] { return g_debug; }); }
void LogCapture::clear() { locked([] { g_lines.clear(), g_debug.clear(); }); }

int LogCapture::count(int priority, const std::string& text) const {
    return locked([&] { return countAt(exactly(priority, text)); });
}

int LogCapture::countContaining(const std::string& fragment) const {
    return locked([&] { return countAt([&](const LogLine& l) { return l.text.find(fragment) != l.text.npos; }); });
}

bool LogCapture::waitFor(int priority, const std::string& text, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> guard(g_lock);
    return g_changed.wait_for(guard, limit, [&] { return countAt(exactly(priority, text)) > 0; });
}

std::string LogCapture::dump() const {
    std::string out;
    for (const auto& l : lines()) out += std::to_string(l.priority) + " " + l.tag + ": " + l.text + "\n";
    return out;
}

Lines linesOf(const LogCapture& log) {
    Lines got;
    for (const auto& l : log.lines()) got.emplace_back(l.priority, l.text);
    return got;
}

}  // namespace attest
