#include <windows.h>

#include <atomic>

#include "app/interrupt_cleanup.h"

namespace TrackloomApp {
namespace {

// The status a console program killed by Ctrl-C ends with.
constexpr UINT kInterruptedStatus = 0xC000013A;
// How long the console's handler waits for the program to close its files and end itself
// between blocks; closing the console leaves five seconds in all.
constexpr DWORD kWaitForProgramMs = 2000;
constexpr DWORD kWaitStepMs = 20;

std::atomic<bool> gInterrupted{false};
// Guards the list against the handler's thread; held, too, while the program holds off
// interruptions. Never deleted: a handler already running may still take it after the
// object that set it up is gone.
CRITICAL_SECTION gLock;
INIT_ONCE gLockReady = INIT_ONCE_STATIC_INIT;
std::vector<std::string> gWatched;
// The program's thread, whose reads the handler cancels: a split waiting for input from a
// pipe would otherwise never come back to close its files. Null when nothing is watched.
HANDLE gProgramThread = nullptr;

BOOL CALLBACK initializeLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&gLock);
    return TRUE;
}

void deleteWatched() {
    for (const std::string& path : gWatched) DeleteFileA(path.c_str());
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    gInterrupted = true;
    for (DWORD waited = 0; waited < kWaitForProgramMs; waited += kWaitStepMs) {
        // A cancelled read ends the program's input early; it then sees the interruption
        // before doing anything with what it read. Never while it holds interruptions off:
        // a cancelled write there could leave half a set of stems renamed.
        EnterCriticalSection(&gLock);
        if (gProgramThread != nullptr) CancelSynchronousIo(gProgramThread);
        LeaveCriticalSection(&gLock);
        Sleep(kWaitStepMs);
    }
    // Still here: the program is stuck. Files it holds open cannot be deleted, the others
    // are.
    EnterCriticalSection(&gLock);
    deleteWatched();
    ExitProcess(kInterruptedStatus);
}

}  // namespace

InterruptCleanup::InterruptCleanup() {
    InitOnceExecuteOnce(&gLockReady, initializeLock, nullptr, nullptr);
    gInterrupted = false;
    EnterCriticalSection(&gLock);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &gProgramThread,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    LeaveCriticalSection(&gLock);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

InterruptCleanup::~InterruptCleanup() {
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    EnterCriticalSection(&gLock);
    gWatched.clear();
    if (gProgramThread != nullptr) CloseHandle(gProgramThread);
    gProgramThread = nullptr;
    LeaveCriticalSection(&gLock);
}

void InterruptCleanup::watch(const std::vector<std::string>& paths) {
    EnterCriticalSection(&gLock);
    gWatched = paths;
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
    deleteWatched();
    ExitProcess(kInterruptedStatus);
}

}  // namespace TrackloomApp
