// One run at a time replacing the stems of a directory.
#pragma once

#include <cstdint>
#include <string>

namespace TrackloomApp {

// An exclusive lock on a directory among the program's runs, waited for on construction
// and held until destruction. Runs that rename their stems under it leave behind the set
// of one of them, never a mix. Where the directory cannot be locked (it does not exist, its
// file system has no locks) the run goes on unlocked: renaming then reports what fails.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::string& directory);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

  private:
    bool locked_ = false;
    intptr_t handle_ = 0;  // the platform's descriptor or handle holding the lock
};

}  // namespace TrackloomApp
