// The demo host's AT line engine on its own: framing, line assembly across
// blocks, echo and error modes. Each script is a list of (block fed, bytes sent back).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "examples/at_host/at_engine.h"

namespace {

TEST(AtEngine, ScriptsGetTheirRepliesBlockByBlock) {
    using atdemo::AtEngine;
    const atdemo::Identity id = atdemo::demoIdentity();
    const std::string ok = "\r\nOK\r\n", error = "\r\nERROR\r\n", longLine = std::string(AtEngine::kMaxLine, 'X');
    auto info = [&](const std::string& text) { return "\r\n" + text + "\r\n" + ok; };
    const std::vector<std::vector<std::pair<std::string, std::string>>> scripts = {
        // Echo until ATE0 has been taken, and again after ATE1; junk is echoed only.
        {{"xyz\r", "xyz\r"}, {"AT+CG", "AT+CG"}, {"MM\r", "MM\r" + info(id.model)}, {"ATE0\r", "ATE0\r" + ok},
         {"AT\r", ok}, {"ATE1\r", ok}, {"AT\r", "AT\r" + ok}, {"ATE2\r", "ATE2\r" + error}},
        {{"ATE0\r", "ATE0\r" + ok}, {"AT\r\nAT+FOO\r\nhello\rAT+CGMR\rAT+C", ok + error + info(id.revision)},
         {"MEE=?\r", info("+CMEE: (0-2)")}, {"at + cgmi\r", info(id.manufacturer)},
         {"AT+CGMX\bI\r", info(id.manufacturer)},
         {"ATI\r", info(id.manufacturer + " " + id.model + ", revision " + id.revision)}, {"AT+CMEE=3\r", error},
         {"AT+CGMI?\r", error}, {"AT+CMEE=1\r", ok}, {"AT+CGMI?\r", "\r\n+CME ERROR: 4\r\n"}, {"AT+CMEE=2\r", ok},
         {"AT+CGMR=1\r", "\r\n+CME ERROR: operation not supported\r\n"}, {"AT+NOSUCH\r", error},
         {"AT+CMEE?\r", info("+CMEE: 2")}, {"AT+CMEE=\r", ok}, {"AT+CMEE?\r", info("+CMEE: 0")},
         // An overlong line is refused whole; exactly the limit is still a line; ATZ turns echo back on.
         {"AT+CGMI" + longLine, ""}, {"\r", error}, {"AT" + std::string(AtEngine::kMaxLine - 2, ' ') + "\r", ok},
         {"ATZ\r", ok}, {"AT\r", "AT\r" + ok}}};
    for (const auto& script : scripts) {
        AtEngine e;
        for (const auto& [in, out] : script) EXPECT_EQ(e.feed(in), out) << in;
    }
}

}  // namespace
