// The texts the controller gives its front ends: sizes, speeds and percentages, the status
// of one file in the list, the reasons of a failed installer launch, and the two-call way
// texts are handed over to callers with a C buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/ControllerState.h"

namespace koruvan::app {

// Bytes: "" for 0, "%u B" below 1 KiB, else one decimal in KB, MB, GB or TB (binary units).
[[nodiscard]] std::string FormatSize(std::uint64_t bytes);
// Bytes per second: "%u B/s" below 1 KiB/s, else one decimal in KB/s, MB/s or GB/s;
// "未知" from 0xCCCCCCCC on (the engine's value for no measurement).
[[nodiscard]] std::string FormatSpeed(std::uint32_t bytesPerSecond);
// Hundredths of a percent: "0%", "50%", "12.34%".
[[nodiscard]] std::string FormatPercent(std::uint32_t hundredths);

// What the list shows for one file.
struct FileStatusView {
    ControllerState state = ControllerState::Ready;
    int index = 0;
    bool done = false;
    // Verification (used for done files in the verification states).
    int verifyIndex = 0;
    std::uint32_t verifyProgress = 0;  // hundredths of a percent
    std::uint32_t repairProgress = 0;  // hundredths of a percent
    // The file is part of the running check (a download's own check covers only the files
    // that no piece digest vouched for; the others stay "downloaded").
    bool inCheck = true;
    // The file's task (used for files not done yet).
    bool queried = false;       // the task answered
    std::int32_t progress = 0;  // ten-thousandths
};
// The status column of the file list. The texts keep their trailing blanks.
[[nodiscard]] std::string FileStatusText(const FileStatusView& view);

// Why a launch failed, by old launch code (the texts the user sees); "Unknown open failed"
// for codes the table does not name.
[[nodiscard]] std::string_view LaunchFailureReason(int code) noexcept;

// The two-call text pattern: with no buffer, the length of `text`; with a buffer of `size`
// bytes that holds the text and its terminating NUL, the text is copied and its length
// returned; a buffer too small for both gets nothing and 0 is returned (a text cut short or
// left unterminated would be read past its end by a C caller).
[[nodiscard]] int CopyText(std::string_view text, char* buffer, std::size_t size) noexcept;

}  // namespace koruvan::app
