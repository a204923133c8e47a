// FTP control replies as the FTP source reads them, and the address of a passive-mode reply.
#include <gtest/gtest.h>

#include "engine/peers/TFtpPeerReply.h"

namespace koruvan::engine {
namespace {

struct ReplyCase {
    const char* what;
    std::string data;
    std::int32_t result;
    std::int32_t code = 0;
    std::string text = {};
    std::size_t length = 0;
};

TEST(FtpReplyTest, RepliesAreCompleteOnlyWithTheirFinalLine) {
    const std::string greeting = "220-Welcome\r\n220-second line\r\n220 ready\r\n";
    const ReplyCase cases[] = {
        {"single line", "220 ready\r\n", kFtpReplyComplete, 220, "ready", 11},
        {"no line end yet", "220 ready", kFtpReplyIncomplete},
        {"multi-line, open", "220-Welcome\r\n220-second line\r\n", kFtpReplyIncomplete},
        {"multi-line, closed", greeting, kFtpReplyComplete, 220, "Welcome", greeting.size()},
        {"a text line that starts with the code after a blank is not final",
         "230-a\r\n 230 text\r\n", kFtpReplyIncomplete},
        {"two replies in one read: only the first", "150 go\r\n226 done\r\n", kFtpReplyComplete,
         150, "go", 8},
        {"a code without text", "226\r\n", kFtpReplyComplete, 226, "", 5},
        {"bare line feeds", "213 1048576\n", kFtpReplyComplete, 213, "1048576", 12},
        {"no code", "hello there\r\n", kFtpReplyMalformed},
        {"four digits", "2200 x\r\n", kFtpReplyMalformed},
        {"endless line", std::string(kMaxFtpReply + 1, 'x'), kFtpReplyMalformed},
        {"endless multi-line reply", "220-a\r\n" + std::string(kMaxFtpReply, ' ') + "\r\n",
         kFtpReplyMalformed},
    };
    for (const ReplyCase& c : cases) {
        FtpReply reply;
        EXPECT_EQ(ReadFtpReply(c.data, reply), c.result) << c.what;
        if (c.result == kFtpReplyComplete) {
            EXPECT_EQ(reply.code, c.code) << c.what;
            EXPECT_EQ(reply.text, c.text) << c.what;
            EXPECT_EQ(reply.length, c.length) << c.what;
        }
    }
}

TEST(FtpReplyTest, APassiveReplyNamesItsDataAddress) {
    struct Case {
        const char* text;
        bool ok;
        const char* host = "";
        std::uint16_t port = 0;
    };
    const Case cases[] = {
        {"Entering Passive Mode (10,0,0,1,19,137).", true, "10.0.0.1", 5001},
        {"Entering Passive Mode (127, 0, 0, 1, 4, 1)", true, "127.0.0.1", 1025},
        {"Entering Passive Mode 127,0,0,1,4,1", false},
        {"(127,0,0,1,4)", false},
        {"(127,0,0,1,4,1,9)", false},
        {"(256,0,0,1,4,1)", false},
        {"(127,0,0,1,4,256)", false},
        {"(127,0,0,1,0,0)", false},
        {"(127,0,0,1,x,1)", false},
        {"(127,0,0,1,4,1", false},
    };
    for (const Case& c : cases) {
        std::string host;
        std::uint16_t port = 0;
        EXPECT_EQ(ParseFtpPassive(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
    std::string host;
    std::uint16_t port = 0;
    EXPECT_FALSE(ParseFtpPassive("(" + std::string(1024, ' ') + "1,2,3,4,5,6)", host, port));
}

TEST(FtpReplyTest, LineBreaksNeverGoIntoACommand) {
    EXPECT_TRUE(IsFtpCommandSafe("/pub/a b.cab"));
    EXPECT_FALSE(IsFtpCommandSafe("a\r\nDELE x"));
    EXPECT_FALSE(IsFtpCommandSafe("a\nb"));
    EXPECT_FALSE(IsFtpCommandSafe(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace koruvan::engine
