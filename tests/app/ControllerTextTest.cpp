// The controller's texts: sizes, speeds, percentages, the file list's status column with
// its trailing blanks, launch failure reasons, and the two-call hand-over into C buffers.
#include "app/ControllerText.h"

#include <gtest/gtest.h>

#include <cstring>

namespace koruvan::app {
namespace {

TEST(ControllerTextTest, SizesUseBinaryUnitsWithOneDecimal) {
    EXPECT_EQ(FormatSize(0), "");
    EXPECT_EQ(FormatSize(1), "1 B");
    EXPECT_EQ(FormatSize(1023), "1023 B");
    EXPECT_EQ(FormatSize(1024), "1.0 KB");
    EXPECT_EQ(FormatSize(1536), "1.5 KB");
    EXPECT_EQ(FormatSize(1024 * 1024 - 1), "1024.0 KB");  // rounds, never switches unit
    EXPECT_EQ(FormatSize(1024 * 1024), "1.0 MB");
    EXPECT_EQ(FormatSize(4222222222ull), "3.9 GB");
    EXPECT_EQ(FormatSize(13936211765ull), "13.0 GB");
    EXPECT_EQ(FormatSize(1ull << 40), "1.0 TB");
    EXPECT_EQ(FormatSize(~0ull), "16777216.0 TB");
}

TEST(ControllerTextTest, SpeedsAndTheUnknownValue) {
    EXPECT_EQ(FormatSpeed(0), "0 B/s");
    EXPECT_EQ(FormatSpeed(1023), "1023 B/s");
    EXPECT_EQ(FormatSpeed(1024), "1.0 KB/s");
    EXPECT_EQ(FormatSpeed(102400), "100.0 KB/s");
    EXPECT_EQ(FormatSpeed(3 << 20), "3.0 MB/s");
    EXPECT_EQ(FormatSpeed(1u << 30), "1.0 GB/s");
    EXPECT_EQ(FormatSpeed(0xCCCCCCCBu), "3.2 GB/s");
    EXPECT_EQ(FormatSpeed(0xCCCCCCCCu), "未知");
    EXPECT_EQ(FormatSpeed(0xFFFFFFFFu), "未知");
}

TEST(ControllerTextTest, PercentagesDropZeroHundredths) {
    EXPECT_EQ(FormatPercent(0), "0%");
    EXPECT_EQ(FormatPercent(1234), "12.34%");
    EXPECT_EQ(FormatPercent(5000), "50%");
    EXPECT_EQ(FormatPercent(5), "0.05%");
    EXPECT_EQ(FormatPercent(10000), "100%");
}

TEST(ControllerTextTest, StatusOfFilesNotDone) {
    FileStatusView v;
    v.state = ControllerState::Downloading;
    EXPECT_EQ(FileStatusText(v), "准备下载    ");  // no answer while downloading
    v.state = ControllerState::Pause;
    EXPECT_EQ(FileStatusText(v), "未开始    ");
    v.queried = true;
    v.progress = 1234;
    EXPECT_EQ(FileStatusText(v), "12.34%    ");
    v.progress = 10000;
    EXPECT_EQ(FileStatusText(v), "√ 下载完成  ");
    v.progress = 0;
    v.state = ControllerState::Downloading;
    EXPECT_EQ(FileStatusText(v), "准备下载    ");
}

TEST(ControllerTextTest, StatusOfDoneFilesDuringVerificationAndRepair) {
    FileStatusView v;
    v.done = true;
    v.state = ControllerState::Finished;
    EXPECT_EQ(FileStatusText(v), "√ 下载完成  ");
    v.state = ControllerState::Md5Checking;
    v.verifyIndex = 2;
    v.verifyProgress = 4567;
    v.index = 1;
    EXPECT_EQ(FileStatusText(v), "√ 验证通过  ");
    v.index = 2;
    EXPECT_EQ(FileStatusText(v), "验证中：45.67%  ");
    v.index = 3;
    EXPECT_EQ(FileStatusText(v), "待验证    ");
    v.state = ControllerState::CheckRecover;
    v.index = 2;
    EXPECT_EQ(FileStatusText(v), "准备修复.. ");
    v.repairProgress = 801;
    EXPECT_EQ(FileStatusText(v), "修复中：8.01%  ");
    v.index = 4;
    EXPECT_EQ(FileStatusText(v), "待验证    ");
    v.index = 0;
    EXPECT_EQ(FileStatusText(v), "√ 验证通过  ");
    v.state = ControllerState::CheckFinished;
    v.index = 4;
    EXPECT_EQ(FileStatusText(v), "√ 验证通过  ");
}

TEST(ControllerTextTest, LaunchReasons) {
    EXPECT_EQ(LaunchFailureReason(5), "The operating system denied access to the specified file.");
    EXPECT_EQ(LaunchFailureReason(2), "The specified file was not found.");
    EXPECT_EQ(LaunchFailureReason(11),
              "The .exe file is invalid (non-Win32 .exe or error in .exe image).");
    EXPECT_EQ(LaunchFailureReason(0), "Unknown open failed");
    EXPECT_EQ(LaunchFailureReason(17), "Unknown open failed");
}

TEST(ControllerTextTest, TwoCallCopyNeverLeavesATextUnterminated) {
    EXPECT_EQ(CopyText("12.34%", nullptr, 0), 6);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CopyText("12.34%", buffer, 7), 6);
    EXPECT_STREQ(buffer, "12.34%");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CopyText("12.34%", buffer, 6), 0);  // no room for the terminator
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(CopyText("", buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
}

}  // namespace
}  // namespace koruvan::app
