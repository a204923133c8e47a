#include "cli/ConsoleFrontEnd.h"

#include <cstdio>
#include <string>

namespace koruvan::cli {

void ConsoleFrontEnd::Print(std::string_view title, std::string_view text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (lineOpen_) {
        std::fputs("\n", stdout);
        std::fflush(stdout);
        lineOpen_ = false;
    }
    std::string line = "[" + std::string(title) + "] " + std::string(text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void ConsoleFrontEnd::ShowNotice(std::string_view text, std::string_view title) {
    Print(title, text);
}

void ConsoleFrontEnd::ShowModalNotice(std::string_view text, std::string_view title) {
    Print(title, text);
}

bool ConsoleFrontEnd::AskYesNo(std::string_view question, std::string_view title) {
    Print(title, std::string(question) + (answerYes_ ? " yes" : " no"));
    return answerYes_;
}

void ConsoleFrontEnd::PostMessage(std::uint32_t message) {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.push_back(message);
}

void ConsoleFrontEnd::CloseMainWindow() {
    std::lock_guard<std::mutex> guard(lock_);
    closeRequested_ = true;
}

std::uint32_t ConsoleFrontEnd::TakeMessage() {
    std::lock_guard<std::mutex> guard(lock_);
    if (messages_.empty()) {
        return 0;
    }
    const std::uint32_t message = messages_.front();
    messages_.pop_front();
    return message;
}

bool ConsoleFrontEnd::CloseRequested() const {
    std::lock_guard<std::mutex> guard(lock_);
    return closeRequested_;
}

void ConsoleFrontEnd::SetLineOpen(bool open) {
    std::lock_guard<std::mutex> guard(lock_);
    lineOpen_ = open;
}

}  // namespace koruvan::cli
