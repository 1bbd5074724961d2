// The demo host's AT line engine, on its own: framing, line assembly across
// blocks, echo and error modes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "examples/at_host/at_engine.h"

using atdemo::AtEngine;

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
const atdemo::Identity kId = atdemo::demoIdentity();

std::string info(const std::string& text) { return "\r\n" + text + "\r\n" + kOk; }

// An engine with echo already off, as most cases want only the replies.
AtEngine quietEngine() {
    AtEngine e;
    EXPECT_EQ(e.feed("ATE0\r"), "ATE0\r" + kOk);
    return e;
}

struct Script {
    const char* what;
    bool echo;  // start with the default echo on
    std::vector<std::pair<std::string, std::string>> steps;  // block fed, bytes sent back
};

TEST(AtEngine, ScriptsGetTheirRepliesBlockByBlock) {
    const std::string overlong = "AT+CGMI" + std::string(AtEngine::kMaxLine, 'X');
    const Script scripts[] = {
        {"ATE0 is echoed, then echo stays off until ATE1 has been taken; ATE means E0; junk is echoed only",
         true,
         {{"xyz\r", "xyz\r"}, {"AT\r", "AT\r" + kOk}, {"ATE0\r", "ATE0\r" + kOk}, {"AT\r", kOk}, {"ATE1\r", kOk},
          {"AT\r", "AT\r" + kOk}, {"ATE\r", "ATE\r" + kOk}, {"AT\r", kOk}, {"ATE2\r", kError}}},
        {"a split command is echoed as it arrives", true, {{"AT+CG", "AT+CG"}, {"MM\r", "MM\r" + info(kId.model)}}},
        {"identification, in any case and with spaces",
         false,
         {{"AT+CGMI\r", info(kId.manufacturer)}, {"AT+CGMM\r", info(kId.model)}, {"AT+CGMR\r", info(kId.revision)},
          {"AT+CGMI=?\r", kOk}, {"ATI\r", info(kId.manufacturer + " " + kId.model + ", revision " + kId.revision)},
          {"at + cgmi\r", info(kId.manufacturer)}, {"AT+CGMIX\r", kError}}},
        {"backspace edits the line", false, {{"AT+CGMX\bI\r", info(kId.manufacturer)}, {"\b\bAT\r", kOk}}},
        {"+CMEE set, read and test; outside 0 to 2 is refused and keeps the mode; an omitted value is 0",
         false,
         {{"AT+CMEE?\r", info("+CMEE: 0")}, {"AT+CMEE=?\r", info("+CMEE: (0-2)")}, {"AT+CMEE=2\r", kOk},
          {"AT+CMEE=3\r", kError}, {"AT+CMEE=12\r", kError}, {"AT+CMEE\r", kError}, {"AT+CMEE?\r", info("+CMEE: 2")},
          {"AT+CMEE=\r", kOk}, {"AT+CMEE?\r", info("+CMEE: 0")}}},
        {"+CMEE selects the equipment error form; unknown commands stay ERROR; ATZ resets echo and mode",
         false,
         {{"AT+CGMI?\r", kError}, {"AT+CMEE=1\r", kOk}, {"AT+CGMI?\r", "\r\n+CME ERROR: 4\r\n"},
          {"AT+CMEE=2\r", kOk}, {"AT+CGMR=1\r", "\r\n+CME ERROR: operation not supported\r\n"},
          {"AT+NOSUCH\r", kError}, {"ATZ\r", kOk}, {"AT+CMEE?\r", "AT+CMEE?\r" + info("+CMEE: 0")}}},
        {"an overlong line is refused whole; exactly the limit is still a line",
         false,
         {{overlong, ""}, {"\r", kError}, {"AT\r", kOk},
          {"AT" + std::string(AtEngine::kMaxLine - 2, ' ') + "\r", kOk}}},
    };
    for (const Script& s : scripts) {
        SCOPED_TRACE(s.what);
        AtEngine e = s.echo ? AtEngine() : quietEngine();
        for (const auto& [in, out] : s.steps) EXPECT_EQ(e.feed(in), out) << in;
    }
}

TEST(AtEngine, SeveralCommandsInOneBlockEachGetTheirReplyInOrder) {
    AtEngine e = quietEngine();
    std::vector<std::pair<std::string, std::string>> seen;
    e.onCommand = [&](const std::string& line, const std::string& reply) { seen.emplace_back(line, reply); };
    // CR LF line ends, a junk line and a trailing half command.
    EXPECT_EQ(e.feed("AT\r\nAT+FOO\r\nhello\rAT+CGMR\rAT+C"), kOk + kError + info(kId.revision));
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                        {"AT", kOk}, {"AT+FOO", kError}, {"AT+CGMR", info(kId.revision)}}));
    EXPECT_EQ(e.pending(), 4u);
    EXPECT_EQ(e.feed("MEE?\r"), info("+CMEE: 0"));
    e.feed(std::string(AtEngine::kMaxLine + 10, 'X'));
    EXPECT_EQ(e.pending(), AtEngine::kMaxLine);  // an overlong line keeps no more than the limit
}

}  // namespace
