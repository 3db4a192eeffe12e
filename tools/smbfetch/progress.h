// smbfetch: the progress bar on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace smbfetch {

struct Progress {
    using Clock = std::chrono::steady_clock;
    uint64_t total = 0;  // bytes the output holds when complete (from the offset)
    uint64_t base = 0;   // bytes it held before this run (a continued fetch)
    bool bar = false;    // draw a bar (standard error is a terminal)
    Clock::time_point start{};
    Clock::time_point shown{};
};

// Starts counting; the bar follows the terminal's width from here on.
Progress progressStart(uint64_t total, uint64_t base, bool bar);

// Redraws at most ten times a second; `final` draws the last state and ends the line.
void progressUpdate(Progress &p, uint64_t done, bool final = false);

// Ends an unfinished bar line, so that a message starts on a line of its own.
void progressBreakLine();

double progressSeconds(const Progress &p);

// The bar's text for `done` of `total` bytes at `rate` bytes/s, fitting `columns`.
std::string progressText(uint64_t done, uint64_t total, double rate, int columns);

std::string humanBytes(double bytes);

}  // namespace smbfetch
