// One run at a time replacing the stems of a directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace TrackloomApp::platform {

// An exclusive lock among this user's runs on the stems of a directory, waited for on
// construction and held until destruction. Runs that rename their stems under it leave
// behind the set of one of them, never a mix. The wait is interruptible: interruptions stay
// live, and `betweenWaits` runs every few milliseconds while it lasts (the run checks for an
// interruption there); `waiting` runs once if the lock is not had within a second (the run
// says why it waits). Where no lock can be had (the directory does not exist, its file
// system has no locks, another user planted the lock's file) the run goes on unlocked:
// renaming then reports what fails.
class DirectoryLock {
  public:
    DirectoryLock(const std::string& directory, const std::function<void()>& waiting,
                  const std::function<void()>& betweenWaits);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // How long a run waits before saying so, and how often it looks again, in milliseconds.
    static constexpr int kQuietWaitMs = 1000;
    static constexpr int kPollMs = 20;

  private:
    bool locked_ = false;
    intptr_t handle_ = 0;  // the platform's descriptor or handle holding the lock
};

}  // namespace TrackloomApp::platform
