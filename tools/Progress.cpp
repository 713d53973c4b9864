#include "Progress.h"

#include <fmt/format.h>

#include <cstdio>
#include <unistd.h>

namespace morvane::tool {

namespace {
constexpr auto kQuietPeriod = std::chrono::seconds(1);
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
constexpr int kBarWidth = 40;
}  // namespace

Progress::Progress(std::string label, std::size_t total)
    : label_(std::move(label)), total_(total), terminal_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

Progress::~Progress() { Finish(); }

void Progress::Advance(std::size_t steps) {
    done_ += steps;
    if (!terminal_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - start_ < kQuietPeriod || now - lastDraw_ < kRedrawPeriod) return;
    lastDraw_ = now;
    Draw();
}

void Progress::Draw() {
    double fraction = total_ == 0 ? 1.0 : static_cast<double>(done_) / static_cast<double>(total_);
    if (fraction > 1.0) fraction = 1.0;
    int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    fmt::print(stderr, "\r{} [{}] {:3.0f}% ({}/{})", label_, bar, fraction * 100.0, done_, total_);
    std::fflush(stderr);
    shown_ = true;
}

void Progress::Finish() {
    if (!shown_) return;
    fmt::print(stderr, "\r{:{}}\r", "", label_.size() + kBarWidth + 40);
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace morvane::tool
