#include <signal.h>
#include <unistd.h>

#include "app/interrupt_cleanup.h"

namespace TrackloomApp {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// What the handler sees: C strings prepared outside it and changed only while the signals
// are blocked, so the handler never meets a list half rewritten and calls nothing but
// unlink(), sigaction() and raise().
std::vector<std::string> gWatched;
std::vector<const char*> gPaths;
const char* const* volatile gPathList = nullptr;
volatile sig_atomic_t gPathCount = 0;

struct sigaction gPrevious[kSignalCount];
bool gInstalled[kSignalCount] = {};
int gHoldDepth = 0;
sigset_t gMaskBeforeHold;

sigset_t interruptions() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

extern "C" void removeWatchedAndDie(int signal) {
    const char* const* paths = gPathList;
    const sig_atomic_t count = gPathCount;
    for (sig_atomic_t i = 0; i < count; ++i) unlink(paths[i]);
    // Taken when the handler returns and its mask lifts: the program dies of the signal it
    // was sent, as it would have without this handler.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

}  // namespace

InterruptCleanup::InterruptCleanup() {
    struct sigaction action {};
    action.sa_handler = removeWatchedAndDie;
    // The other interruptions wait while one is handled.
    action.sa_mask = interruptions();
    hold();
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], nullptr, &gPrevious[i]);
        // nohup, and shells starting background jobs, ignore some of these on purpose.
        gInstalled[i] = gPrevious[i].sa_handler != SIG_IGN;
        if (gInstalled[i]) sigaction(kSignals[i], &action, nullptr);
    }
    release();
}

InterruptCleanup::~InterruptCleanup() {
    hold();
    for (int i = 0; i < kSignalCount; ++i) {
        if (gInstalled[i]) sigaction(kSignals[i], &gPrevious[i], nullptr);
        gInstalled[i] = false;
    }
    gPathCount = 0;
    gPathList = nullptr;
    gPaths.clear();
    gWatched.clear();
    release();
}

void InterruptCleanup::watch(const std::vector<std::string>& paths) {
    hold();
    gPathCount = 0;
    gWatched = paths;
    gPaths.clear();
    for (const std::string& path : gWatched) gPaths.push_back(path.c_str());
    gPathList = gPaths.data();
    gPathCount = static_cast<sig_atomic_t>(gPaths.size());
    release();
}

void InterruptCleanup::hold() {
    if (gHoldDepth++ > 0) return;
    const sigset_t set = interruptions();
    sigprocmask(SIG_BLOCK, &set, &gMaskBeforeHold);
}

void InterruptCleanup::release() {
    if (gHoldDepth == 0 || --gHoldDepth > 0) return;
    // A signal that came meanwhile is delivered here.
    sigprocmask(SIG_SETMASK, &gMaskBeforeHold, nullptr);
}

void InterruptCleanup::closeAndEndIfInterrupted(const std::function<void()>&) {}

}  // namespace TrackloomApp
