#include "cli/TerminalProgress.h"

#include <unistd.h>

#include <cstdio>

#include "cli/ImageText.h"

namespace kestrel::cli {

namespace {

constexpr int kBarWidth = 30;

}  // namespace

TerminalProgress::TerminalProgress(std::string verb)
    : verb_(std::move(verb)), terminal_(::isatty(STDERR_FILENO) == 1) {}

TerminalProgress::~TerminalProgress() {
    if (shown_) {
        std::fputc('\n', stderr);
    }
}

void TerminalProgress::beginFile(const std::string& rowName) {
    name_ = utf8FromImageBytes(rowName);
    draw(0);
}

void TerminalProgress::showPercent(int percent) {
    draw(percent);
}

void TerminalProgress::draw(int percent) {
    if (!terminal_) {
        return;
    }
    const int filled = percent * kBarWidth / 100;
    std::fprintf(stderr, "\r%s %s [%.*s%*s] %3d%%", verb_.c_str(), name_.c_str(), filled,
                 "##############################", kBarWidth - filled, "", percent);
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace kestrel::cli
