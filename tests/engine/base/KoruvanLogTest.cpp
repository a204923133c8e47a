#include "engine/core/base/KoruvanLog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

class KoruvanLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CreateEngineLog();
        log_ = EngineLog();
        base_ = dir_.File("game");
        log_->SetLogBasePath(base_.c_str());
        log_->SetDebugEcho([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(echoLock_);
            echoed_.emplace_back(line);
        });
    }
    void TearDown() override { CloseEngineLog(); }

    std::string FileText(const char* suffix) { return test::ReadFile(base_ + suffix); }

    test::TempDir dir_;
    std::string base_;
    CKoruvanLogApi* log_ = nullptr;
    std::mutex echoLock_;
    std::vector<std::string> echoed_;
};

TEST_F(KoruvanLogTest, DefaultLevelsEchoFromLevelTwoAndFileOnlyCategory38) {
    WriteLog("Create HTTP Task, Download, ID : 7] [Target File : (/x/a.cab) ", 23, 23);
    WriteLog("ClearPeerId Failed..", 38, 38);
    WriteLog("never seen", 1, 1);

    ASSERT_EQ(echoed_.size(), 2u);
    EXPECT_EQ(echoed_[0].front(), '[');
    EXPECT_NE(
        echoed_[0].find("] [Create HTTP Task, Download, ID : 7] [Target File : (/x/a.cab) ]\n"),
        std::string::npos);
    EXPECT_EQ(FileText(".log"), "");  // category 23 reaches no file with the defaults
    const std::string dump = FileText(".dump.log");
    EXPECT_NE(dump.find("] [ClearPeerId Failed..]\n"), std::string::npos);
    EXPECT_EQ(dump, echoed_[1]);
}

TEST_F(KoruvanLogTest, CategoriesChooseTheirFiles) {
    const std::pair<int, const char*> table[] = {{4, ".req.log"},
                                                 {9, ".checkpeer.log"},
                                                 {18, ".peerprefer.log"},
                                                 {25, ".httptrace.log"},
                                                 {28, ".dataupload.log"},
                                                 {29, ".written.log"},
                                                 {30, ".sha1check.log"},
                                                 {31, ".peerinfo.log"},
                                                 {37, ".checktask.log"},
                                                 {38, ".dump.log"},
                                                 {23, ".log"},
                                                 {2, ".log"}};
    log_->SetLevels(0, 39 - 1);
    for (const auto& [category, suffix] : table) {
        EXPECT_EQ(log_->FileFor(category), base_ + suffix);
        WriteLog("line " + std::to_string(category), category, category);
        EXPECT_NE(FileText(suffix).find("[line " + std::to_string(category) + "]"),
                  std::string::npos)
            << suffix;
    }
    EXPECT_EQ(FileText(".log").find("line 4"), std::string::npos);
}

TEST_F(KoruvanLogTest, SwitchedOffLevelsWriteNothing) {
    log_->SetLevels(39, 39);
    WriteLog("a", 38, 38);
    log_->SetLevels(0, 39);  // file level 0 but debug output off: no file either
    WriteLog("b", 38, 38);
    WriteLog("c", 23, 23);
    EXPECT_TRUE(echoed_.empty());
    EXPECT_EQ(FileText(".dump.log"), "");
    EXPECT_EQ(FileText(".log"), "");
}

TEST_F(KoruvanLogTest, OverlongTextIsCutButTheLineStaysWhole) {
    const std::string text(10000, 'x');
    WriteLog(text, 38, 38);
    const std::string line = FileText(".dump.log");
    EXPECT_EQ(line.size(), CKoruvanLogApi::kMaxLine - 1);
    EXPECT_EQ(line.substr(line.size() - 3), "x]\n");
}

TEST_F(KoruvanLogTest, ConcurrentWritersProduceWholeLines) {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            const std::string text =
                "writer " + std::to_string(t) + " " + std::string(200, 'a' + t);
            for (int i = 0; i < kLines; ++i) {
                WriteLog(text, 38, 38);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    std::istringstream in(FileText(".dump.log"));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        const auto open = line.find("] [writer ");
        ASSERT_NE(open, std::string::npos) << line;
        const char tag = line[open + 10];
        EXPECT_EQ(line.substr(line.size() - 201), std::string(200, 'a' + (tag - '0')) + "]");
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(KoruvanLogTest, TraceGoesToTheDebugOutputOnly) {
    log_->Trace("value %d and %s", 42, "text");
    ASSERT_EQ(echoed_.size(), 1u);
    EXPECT_NE(echoed_[0].find("] [value 42 and text]\r\n"), std::string::npos);
    EXPECT_EQ(echoed_[0][5], '-');  // "[YYYY-MM-DD hh:mm:ss]"
    EXPECT_EQ(FileText(".dump.log"), "");
}

TEST(KoruvanLogLifetime, WithoutALogLinesAreDroppedAndCloseRunsTheHook) {
    WriteLog("dropped", 38, 38);  // no log: nothing happens
    CreateEngineLog();
    int hookRuns = 0;
    SetLogCloseHook([&] { ++hookRuns; });
    CloseEngineLog();
    EXPECT_EQ(hookRuns, 1);
    EXPECT_EQ(EngineLog(), nullptr);
    CloseEngineLog();  // twice: nothing more
    EXPECT_EQ(hookRuns, 1);
}

}  // namespace
}  // namespace koruvan::engine
