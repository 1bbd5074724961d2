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

std::string infoReply(const std::string& text) { return "\r\n" + text + "\r\n" + kOk; }

// An engine with echo already off, as most tests want only the replies.
AtEngine quietEngine() {
    AtEngine e;
    EXPECT_EQ(e.feed("ATE0\r"), "ATE0\r" + kOk);
    return e;
}

} // namespace

TEST(AtEngine, EchoesByDefaultThenReplies) {
    AtEngine e;
    EXPECT_TRUE(e.echo());
    EXPECT_EQ(e.feed("AT\r"), "AT\r" + kOk);
}

TEST(AtEngine, Ate0StopsEchoAfterEchoingItselfAndAte1BringsItBack) {
    AtEngine e = quietEngine();
    EXPECT_FALSE(e.echo());
    EXPECT_EQ(e.feed("AT\r"), kOk);
    // ATE1 is not echoed (echo is off while it arrives); what follows is.
    EXPECT_EQ(e.feed("ATE1\r"), kOk);
    EXPECT_EQ(e.feed("AT\r"), "AT\r" + kOk);
    // ATE without a value means E0.
    EXPECT_EQ(e.feed("ATE\r"), "ATE\r" + kOk);
    EXPECT_FALSE(e.echo());
    EXPECT_EQ(e.feed("ATE2\r"), kError);
}

TEST(AtEngine, IdentificationCommands) {
    AtEngine e = quietEngine();
    const atdemo::Identity id = atdemo::demoIdentity();
    EXPECT_EQ(e.feed("AT+CGMI\r"), infoReply(id.manufacturer));
    EXPECT_EQ(e.feed("AT+CGMM\r"), infoReply(id.model));
    EXPECT_EQ(e.feed("AT+CGMR\r"), infoReply(id.revision));
    EXPECT_EQ(e.feed("AT+GMI\r"), infoReply(id.manufacturer));
    EXPECT_EQ(e.feed("ATI\r"), infoReply(id.manufacturer + " " + id.model + ", revision " + id.revision));
    EXPECT_EQ(e.feed("AT+CGMI=?\r"), kOk);
    EXPECT_EQ(id.manufacturer, "libat_stubs demo");
}

TEST(AtEngine, CaseAndSpacesDoNotMatter) {
    AtEngine e = quietEngine();
    EXPECT_EQ(e.feed("at + cgmi\r"), infoReply(atdemo::demoIdentity().manufacturer));
    EXPECT_EQ(e.feed("aT\r"), kOk);
}

TEST(AtEngine, CommandSplitOverBlocksIsAnsweredOnceComplete) {
    AtEngine e = quietEngine();
    EXPECT_EQ(e.feed("AT+CG"), "");
    EXPECT_EQ(e.pending(), 5u);
    EXPECT_EQ(e.feed("MI"), "");
    EXPECT_EQ(e.feed("\r"), infoReply(atdemo::demoIdentity().manufacturer));
    EXPECT_EQ(e.pending(), 0u);
}

TEST(AtEngine, SplitCommandIsEchoedAsItArrives) {
    AtEngine e;
    EXPECT_EQ(e.feed("AT+CG"), "AT+CG");
    EXPECT_EQ(e.feed("MM\r"), "MM\r" + infoReply(atdemo::demoIdentity().model));
}

TEST(AtEngine, SeveralCommandsInOneBlockEachGetTheirReplyInOrder) {
    AtEngine e = quietEngine();
    std::vector<std::pair<std::string, std::string>> seen;
    e.onCommand = [&](const std::string& line, const std::string& reply) { seen.emplace_back(line, reply); };
    // CR LF line ends, a junk line and a trailing half command.
    const std::string out = e.feed("AT\r\nAT+FOO\r\nhello\rAT+CGMR\rAT+C");
    EXPECT_EQ(out, kOk + kError + infoReply(atdemo::demoIdentity().revision));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("AT"), kOk));
    EXPECT_EQ(seen[1], std::make_pair(std::string("AT+FOO"), kError));
    EXPECT_EQ(seen[2].first, "AT+CGMR");
    EXPECT_EQ(e.pending(), 4u);
    EXPECT_EQ(e.feed("MEE?\r"), infoReply("+CMEE: 0"));
}

TEST(AtEngine, LinesWithoutAtPrefixAreIgnoredSilently) {
    AtEngine e = quietEngine();
    EXPECT_EQ(e.feed("\r"), "");
    EXPECT_EQ(e.feed("hello\r"), "");
    EXPECT_EQ(e.feed("\n\n"), "");
    // With echo on, the bytes are still echoed.
    e.feed("ATE1\r");
    EXPECT_EQ(e.feed("xyz\r"), "xyz\r");
}

TEST(AtEngine, UnknownCommandsGiveError) {
    AtEngine e = quietEngine();
    EXPECT_EQ(e.feed("AT+NOSUCH\r"), kError);
    EXPECT_EQ(e.feed("ATX9\r"), kError);
    EXPECT_EQ(e.feed("AT+CGMIX\r"), kError);
}

TEST(AtEngine, BackspaceEditsTheLine) {
    AtEngine e = quietEngine();
    EXPECT_EQ(e.feed("AT+CGMX\bI\r"), infoReply(atdemo::demoIdentity().manufacturer));
    EXPECT_EQ(e.feed("\b\bAT\r"), kOk);
}

TEST(AtEngine, CmeeSetReadAndTest) {
    AtEngine e = quietEngine();
    EXPECT_EQ(e.feed("AT+CMEE?\r"), infoReply("+CMEE: 0"));
    EXPECT_EQ(e.feed("AT+CMEE=?\r"), infoReply("+CMEE: (0-2)"));
    for (int n = 0; n <= 2; ++n) {
        EXPECT_EQ(e.feed("AT+CMEE=" + std::to_string(n) + "\r"), kOk);
        EXPECT_EQ(e.cmee(), n);
        EXPECT_EQ(e.feed("AT+CMEE?\r"), infoReply("+CMEE: " + std::to_string(n)));
    }
    // The omitted parameter is the default 0.
    EXPECT_EQ(e.feed("AT+CMEE=\r"), kOk);
    EXPECT_EQ(e.cmee(), 0);
}

TEST(AtEngine, CmeeRejectsValuesOutsideZeroToTwoAndKeepsTheMode) {
    AtEngine e = quietEngine();
    e.feed("AT+CMEE=2\r");
    for (const char* bad : {"AT+CMEE=3\r", "AT+CMEE=-1\r", "AT+CMEE=12\r", "AT+CMEE=a\r", "AT+CMEE\r"}) {
        EXPECT_EQ(e.feed(bad), kError) << bad;
    }
    EXPECT_EQ(e.cmee(), 2);
}

TEST(AtEngine, CmeeSelectsHowEquipmentErrorsAreReported) {
    AtEngine e = quietEngine();
    EXPECT_EQ(e.feed("AT+CGMI?\r"), kError);
    e.feed("AT+CMEE=1\r");
    EXPECT_EQ(e.feed("AT+CGMI?\r"), "\r\n+CME ERROR: 4\r\n");
    e.feed("AT+CMEE=2\r");
    EXPECT_EQ(e.feed("AT+CGMR=1\r"), "\r\n+CME ERROR: operation not supported\r\n");
    // An unknown command stays a plain ERROR in every mode.
    EXPECT_EQ(e.feed("AT+NOSUCH\r"), kError);
    // ATZ restores echo and the error mode.
    EXPECT_EQ(e.feed("ATZ\r"), kOk);
    EXPECT_TRUE(e.echo());
    EXPECT_EQ(e.cmee(), 0);
}

TEST(AtEngine, OverlongLineIsRefusedWholeAndTheNextLineWorks) {
    AtEngine e = quietEngine();
    const std::string longLine = "AT+CGMI" + std::string(AtEngine::kMaxLine, 'X');
    EXPECT_EQ(e.feed(longLine), "");
    EXPECT_EQ(e.pending(), AtEngine::kMaxLine);
    EXPECT_EQ(e.feed("\r"), kError);
    EXPECT_EQ(e.feed("AT\r"), kOk);
    // Exactly the limit is still a line.
    EXPECT_EQ(e.feed("AT" + std::string(AtEngine::kMaxLine - 2, ' ') + "\r"), kOk);
}

TEST(AtEngine, EnginesKeepTheirOwnState) {
    AtEngine a = quietEngine();
    AtEngine b;
    a.feed("AT+CG");
    EXPECT_EQ(b.feed("AT\r"), "AT\r" + kOk);
    EXPECT_EQ(a.feed("MI\r"), infoReply(atdemo::demoIdentity().manufacturer));
}
