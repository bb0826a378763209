// The progress line of long commands, for a person watching a terminal.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "cli.h"

namespace {

bool g_quiet = false;

// Redraws at most this often: the line costs a write to the terminal.
constexpr double kRedrawSeconds = 0.25;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}


std::string Amount(const Progress &p, double value) {
    char text[48];
    if (p.bytes)
        std::snprintf(text, sizeof text, "%.1f", value / 1e6);
    else
        std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

}  // namespace

void SetQuiet(bool quiet) { g_quiet = quiet; }

// The terminal is asked once: the answer costs a system call.
bool ProgressWanted() {
    static const bool terminal = isatty(fileno(Err())) != 0;
    return terminal && !g_quiet;
}

void StartProgress(Progress *p, const std::string &what, uint64_t total, bool bytes) {
    p->what = what;
    p->total = total;
    p->bytes = bytes;
    p->shown = false;
    p->start = Now();
    p->last = p->start - kRedrawSeconds;
    ShowProgress(p, 0);
}

void ShowProgress(Progress *p, uint64_t done) {
    if (!ProgressWanted()) return;
    const double now = Now();
    if (now - p->last < kRedrawSeconds) return;
    p->last = now;
    if (done > p->total) done = p->total;
    const double seconds = now - p->start;
    const char *unit = p->bytes ? "MB" : "samples";
    std::fprintf(Err(), "\r\033[K%s: %s of %s %s (%d%%), %s %s/s", p->what.c_str(),
                 Amount(*p, double(done)).c_str(), Amount(*p, double(p->total)).c_str(), unit,
                 p->total ? int(100.0 * double(done) / double(p->total)) : 100,
                 Amount(*p, seconds > 0 ? double(done) / seconds : 0).c_str(), unit);
    p->shown = true;
}

void EndProgress(Progress *p) {
    if (p->shown) std::fprintf(Err(), "\r\033[K");
    p->shown = false;
}
