#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "app/platform/interrupt_cleanup.h"

namespace TrackloomApp::platform {
namespace {

// SIGPIPE (a reader of the output went away) and SIGXFSZ (past the file size limit) end a
// run too, and must not leave its temporaries either.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Every live run's files, as C strings the handler can pass to unlink(). A list is never
// changed once published: a new one replaces it whole, so a handler running on any thread
// meets either the old list or the new one, never one half rewritten.
struct PathList {
    std::vector<std::string> owned;
    std::vector<const char*> paths;
};

// Guards everything below that the handler does not read.
std::mutex gMutex;
std::map<const InterruptCleanup*, std::vector<std::string>> gRuns;
int gLiveRuns = 0;
struct sigaction gPrevious[kSignalCount];
bool gInstalled[kSignalCount] = {};
// Lists replaced while a handler may still have been reading them; freed once none can be.
std::vector<std::unique_ptr<PathList>> gRetired;
std::unique_ptr<PathList> gCurrent;

// What the handler reads; lock-free atomics are safe to use in a signal handler.
std::atomic<const PathList*> gPublished{nullptr};
std::atomic<int> gHandlersRunning{0};
// How many threads hold interruptions off, and the signal that came meanwhile.
std::atomic<int> gHoldingThreads{0};
std::atomic<int> gPendingSignal{0};
static_assert(std::atomic<const PathList*>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

thread_local int tHoldDepth = 0;
thread_local sigset_t tMaskBeforeHold;

sigset_t interruptions() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

void removeWatchedAndDie(int signal) {
    if (const PathList* list = gPublished.load()) {
        for (const char* path : list->paths) unlink(path);
    }
    // Taken when the handler returns and its mask lifts: the program dies of the signal it
    // was sent, as it would have without this handler.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

extern "C" void onInterruption(int signal) {
    // Counted before the list is looked at, so that whoever replaces the list knows whether
    // the old one may still be in use.
    ++gHandlersRunning;
    // A thread holding interruptions off blocks them for itself only; the signal may come
    // to another. It is then left for the last release() to raise again. Set before the
    // holders are counted, so that a release() in between still finds it.
    gPendingSignal = signal;
    if (gHoldingThreads.load() > 0) {
        --gHandlersRunning;
        return;
    }
    removeWatchedAndDie(signal);
    --gHandlersRunning;
}

// Publishes every run's files as one list. Called with gMutex held.
void publish() {
    auto list = std::make_unique<PathList>();
    for (const auto& run : gRuns) {
        list->owned.insert(list->owned.end(), run.second.begin(), run.second.end());
    }
    for (const std::string& path : list->owned) list->paths.push_back(path.c_str());
    gPublished = list.get();
    if (gCurrent) gRetired.push_back(std::move(gCurrent));
    gCurrent = std::move(list);
    // A handler that starts from here on reads the new list; one that started before is
    // counted, and keeps the old ones alive.
    if (gHandlersRunning.load() == 0) gRetired.clear();
}

}  // namespace

InterruptCleanup::InterruptCleanup() {
    hold();
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gRuns[this];
        if (gLiveRuns++ == 0) {
            struct sigaction action {};
            action.sa_handler = onInterruption;
            // The other interruptions wait while one is handled.
            action.sa_mask = interruptions();
            // A handler that defers to a holder returns: the read it cut short carries on
            // rather than failing, which would end that run's input early.
            action.sa_flags = SA_RESTART;
            for (int i = 0; i < kSignalCount; ++i) {
                sigaction(kSignals[i], nullptr, &gPrevious[i]);
                // nohup, and shells starting background jobs, ignore some of these on purpose.
                gInstalled[i] = gPrevious[i].sa_handler != SIG_IGN;
                if (gInstalled[i]) sigaction(kSignals[i], &action, nullptr);
            }
        }
    }
    release();
}

InterruptCleanup::~InterruptCleanup() {
    hold();
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gRuns.erase(this);
        publish();
        if (--gLiveRuns == 0) {
            for (int i = 0; i < kSignalCount; ++i) {
                if (gInstalled[i]) sigaction(kSignals[i], &gPrevious[i], nullptr);
                gInstalled[i] = false;
            }
        }
    }
    release();
}

void InterruptCleanup::watch(const std::vector<std::string>& paths) {
    hold();
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gRuns[this] = paths;
        publish();
    }
    release();
}

void InterruptCleanup::hold() {
    if (tHoldDepth++ > 0) return;
    const sigset_t set = interruptions();
    pthread_sigmask(SIG_BLOCK, &set, &tMaskBeforeHold);
    ++gHoldingThreads;
}

void InterruptCleanup::release() {
    if (tHoldDepth == 0 || --tHoldDepth > 0) return;
    --gHoldingThreads;
    // A signal that came to this thread meanwhile is delivered here.
    pthread_sigmask(SIG_SETMASK, &tMaskBeforeHold, nullptr);
    // One that came to another thread while this one held is raised again once nobody
    // holds; its handler then finds no holder and cleans up.
    if (gHoldingThreads.load() == 0) {
        if (const int signal = gPendingSignal.exchange(0)) raise(signal);
    }
}

void InterruptCleanup::closeAndEndIfInterrupted(const std::function<void()>&) {}

}  // namespace TrackloomApp::platform
