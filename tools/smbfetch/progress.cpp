#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace smbfetch {

namespace {

volatile std::sig_atomic_t g_resized = 1;  // 1: ask for the width at the first draw
bool g_lineOpen = false;
int g_columns = 80;

extern "C" void onResize(int) { g_resized = 1; }

void followTerminalWidth()
{
    struct sigaction action {};
    action.sa_handler = onResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
}

int terminalColumns()
{
    if (g_resized) {
        g_resized = 0;
        winsize size{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) g_columns = size.ws_col;
    }
    return g_columns;
}

std::string clockText(double seconds)
{
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

std::string humanBytes(double bytes)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// Widest first: bar, percentage, sizes, rate and time left; without the bar;
// then only bytes and rate. The last column stays empty (writing into it makes
// some terminals wrap), and two more for the terminal's echo of ^C.
std::string progressText(uint64_t done, uint64_t total, double rate, int columns)
{
    const double share = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(share * 100));
    const std::string eta = rate > 0 ? clockText(static_cast<double>(total - done) / rate) : "--:--";
    const std::string rateText = humanBytes(rate) + "/s";
    const std::string figures = humanBytes(static_cast<double>(done)) + " / " +
                                humanBytes(static_cast<double>(total)) + "  " + rateText + "  ETA " + eta;
    const auto room = static_cast<size_t>(std::max(columns - 3, 0));
    constexpr size_t kShortestBar = 10;
    const size_t frame = std::string(percent).size() + 4 + figures.size();  // "% [" "] "
    if (room >= frame + kShortestBar) {
        const size_t width = room - frame;
        const auto filled = static_cast<size_t>(share * static_cast<double>(width));
        return std::string(percent) + " [" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
               figures;
    }
    const std::string plain = std::string(percent) + " " + figures;
    if (plain.size() <= room) return plain;
    const std::string least = humanBytes(static_cast<double>(done)) + "  " + rateText;
    return least.substr(0, room);
}

Progress progressStart(uint64_t total, uint64_t base, bool bar)
{
    if (bar) followTerminalWidth();
    const auto now = Progress::Clock::now();
    return {total, base, bar, now, now - std::chrono::seconds(1)};
}

double progressSeconds(const Progress &p)
{
    return std::chrono::duration<double>(Progress::Clock::now() - p.start).count();
}

void progressUpdate(Progress &p, uint64_t done, bool final)
{
    if (!p.bar) return;
    const auto now = Progress::Clock::now();
    if (!final && now - p.shown < std::chrono::milliseconds(100)) return;
    p.shown = now;
    const double elapsed = progressSeconds(p);
    const double rate = elapsed > 0 ? static_cast<double>(done - p.base) / elapsed : 0;
    const std::string text = progressText(done, p.total, rate, terminalColumns());
    std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    g_lineOpen = true;
    if (final) progressBreakLine();
    std::fflush(stderr);
}

void progressBreakLine()
{
    if (!g_lineOpen) return;
    std::fputc('\n', stderr);
    g_lineOpen = false;
}

}  // namespace smbfetch
