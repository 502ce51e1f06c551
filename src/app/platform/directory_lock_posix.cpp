#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "app/platform/directory_lock.h"

namespace TrackloomApp {

// flock() on the directory itself: nothing is created in it, and a run that dies gives the
// lock back with its descriptors.
DirectoryLock::DirectoryLock(const std::string& directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int result;
    do {
        result = flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return;
    }
    handle_ = fd;
    locked_ = true;
}

DirectoryLock::~DirectoryLock() {
    // Closing the descriptor releases the lock.
    if (locked_) close(static_cast<int>(handle_));
}

}  // namespace TrackloomApp
