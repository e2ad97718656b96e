#include "cli/TerminalProgress.h"

#include <unistd.h>

#include <cstdio>

#include "image/NameText.h"

namespace kestrel::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kFrame = std::chrono::milliseconds(16);

}  // namespace

TerminalProgress::TerminalProgress(std::string verb)
    : verb_(std::move(verb)), terminal_(::isatty(STDERR_FILENO) == 1) {}

TerminalProgress::~TerminalProgress() {
    if (shown_) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
    }
}

void TerminalProgress::beginFile(const std::string& rowName) {
    name_ = shownName(rowName);
    percent_ = 0;
    drawIfDue();
}

void TerminalProgress::showPercent(int percent) {
    percent_ = percent;
    drawIfDue();
}

void TerminalProgress::drawIfDue() {
    if (terminal_ && std::chrono::steady_clock::now() - drawnAt_ >= kFrame) {
        draw();
    }
}

void TerminalProgress::draw() {
    drawnAt_ = std::chrono::steady_clock::now();
    const int filled = percent_ * kBarWidth / 100;
    // The line is cleared behind the bar, where a longer name stood before.
    std::fprintf(stderr, "\r%s %s [%.*s%*s] %3d%%\x1b[K", verb_.c_str(), name_.c_str(), filled,
                 "##############################", kBarWidth - filled, "", percent_);
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace kestrel::cli
