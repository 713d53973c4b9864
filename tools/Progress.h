// Progress.h - a progress bar on standard error for long imports and copies.
//
// Nothing is shown when standard error is not a terminal, nor during the
// first second: short runs stay quiet.
#ifndef MORVANE_TOOLS_PROGRESS_H
#define MORVANE_TOOLS_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <string>

namespace morvane::tool {

class Progress {
public:
    Progress(std::string label, std::size_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Advance(std::size_t steps);
    void Finish();   // clears the bar

private:
    void Draw();

    std::string label_;
    std::size_t total_;
    std::size_t done_ = 0;
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace morvane::tool

#endif
