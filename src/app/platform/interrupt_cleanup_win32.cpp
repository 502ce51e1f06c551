#include <windows.h>

#include <atomic>
#include <map>

#include "app/platform/interrupt_cleanup.h"

namespace TrackloomApp::platform {
namespace {

// The status a console program killed by Ctrl-C ends with.
constexpr UINT kInterruptedStatus = 0xC000013A;
// How long the console's handler waits for the program to close its files and end itself
// between blocks; closing the console leaves five seconds in all.
constexpr DWORD kWaitForProgramMs = 2000;
constexpr DWORD kWaitStepMs = 20;

std::atomic<bool> gInterrupted{false};
// Guards the runs against the handler's thread; held, too, while a run holds off
// interruptions. Never deleted: a handler already running may still take it after the
// objects that set it up are gone.
CRITICAL_SECTION gLock;
INIT_ONCE gLockReady = INIT_ONCE_STATIC_INIT;

struct Run {
    std::vector<std::string> watched;
    // The run's thread, whose reads the handler cancels: a split waiting for input from a
    // pipe would otherwise never come back to close its files.
    HANDLE thread = nullptr;
    // Its files are closed and removed after an interruption; it waits for the others.
    bool cleanedUp = false;
};
std::map<const InterruptCleanup*, Run> gRuns;
int gLiveRuns = 0;

BOOL CALLBACK initializeLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&gLock);
    return TRUE;
}

void deleteWatched(Run& run) {
    for (const std::string& path : run.watched) DeleteFileA(path.c_str());
    run.watched.clear();
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    gInterrupted = true;
    for (DWORD waited = 0; waited < kWaitForProgramMs; waited += kWaitStepMs) {
        // A cancelled read ends a run's input early; it then sees the interruption before
        // doing anything with what it read. Never while a run holds interruptions off: a
        // cancelled write there could leave half a set of stems renamed.
        EnterCriticalSection(&gLock);
        for (auto& entry : gRuns) {
            if (!entry.second.cleanedUp) CancelSynchronousIo(entry.second.thread);
        }
        LeaveCriticalSection(&gLock);
        Sleep(kWaitStepMs);
    }
    // Still here: a run is stuck. Files it holds open cannot be deleted, the others are.
    EnterCriticalSection(&gLock);
    for (auto& entry : gRuns) deleteWatched(entry.second);
    ExitProcess(kInterruptedStatus);
}

}  // namespace

InterruptCleanup::InterruptCleanup() {
    InitOnceExecuteOnce(&gLockReady, initializeLock, nullptr, nullptr);
    EnterCriticalSection(&gLock);
    Run& run = gRuns[this];
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &run.thread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    if (gLiveRuns++ == 0) {
        gInterrupted = false;
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    }
    LeaveCriticalSection(&gLock);
}

InterruptCleanup::~InterruptCleanup() {
    EnterCriticalSection(&gLock);
    if (--gLiveRuns == 0) SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    const auto found = gRuns.find(this);
    if (found != gRuns.end()) {
        if (found->second.thread != nullptr) CloseHandle(found->second.thread);
        gRuns.erase(found);
    }
    LeaveCriticalSection(&gLock);
}

void InterruptCleanup::watch(const std::vector<std::string>& paths) {
    EnterCriticalSection(&gLock);
    gRuns[this].watched = paths;
    LeaveCriticalSection(&gLock);
}

void InterruptCleanup::hold() {
    EnterCriticalSection(&gLock);
}

void InterruptCleanup::release() {
    LeaveCriticalSection(&gLock);
}

void InterruptCleanup::closeAndEndIfInterrupted(const std::function<void()>& closeFiles) {
    if (!gInterrupted) return;
    closeFiles();
    EnterCriticalSection(&gLock);
    Run& run = gRuns[this];
    deleteWatched(run);
    run.cleanedUp = true;
    // The last run to clean up ends the program; the others wait for it, holding nothing.
    bool allCleanedUp = true;
    for (const auto& entry : gRuns) allCleanedUp = allCleanedUp && entry.second.cleanedUp;
    if (allCleanedUp) ExitProcess(kInterruptedStatus);
    LeaveCriticalSection(&gLock);
    for (;;) Sleep(INFINITE);
}

}  // namespace TrackloomApp::platform
