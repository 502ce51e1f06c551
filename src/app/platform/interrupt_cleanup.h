// Temporary files that must not outlive an interrupted run.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace TrackloomApp::platform {

// While one of these lives, an interruption (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C,
// Ctrl-Break and closing the console) removes the watched files and then ends the program
// as the interruption would have, so the exit status still tells how the run ended. An
// interruption that was being ignored when the first object was made stays ignored.
// Several may live at once, one per run on threads of their own: each watches its own
// files, and an interruption removes every run's.
class InterruptCleanup {
  public:
    InterruptCleanup();
    ~InterruptCleanup();
    InterruptCleanup(const InterruptCleanup&) = delete;
    InterruptCleanup& operator=(const InterruptCleanup&) = delete;

    // Replaces this run's files to remove.
    void watch(const std::vector<std::string>& paths);

    // Between hold() and release() an interruption waits, so that creating the files and
    // watching them, or renaming a whole set, is never cut in half. Calls nest; a hold on
    // any thread holds off the whole program's cleanup.
    void hold();
    void release();

    // Where the cleanup runs beside the program rather than in its place (Windows, where
    // the console's handler has a thread of its own), it cannot remove files the program
    // still holds open. The program calls this between blocks: after an interruption it
    // runs `closeFiles`, removes the watched files and ends the program. Elsewhere the
    // signal handler has done all of that already, and this does nothing.
    void closeAndEndIfInterrupted(const std::function<void()>& closeFiles);
};

}  // namespace TrackloomApp::platform
