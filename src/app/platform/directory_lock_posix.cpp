#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "app/platform/directory_lock.h"

namespace TrackloomApp::platform {

// The directory itself is never locked: anyone who can read a shared directory such as /tmp
// could hold that against every run. Nor is anything put in it. The lock is a file named for
// the directory's device and inode in a directory of this user's own under /tmp, made
// private; one planted by someone else, or a link, is not used. A run that dies gives the
// lock back with its descriptors.
namespace {

// The user's own directory of locks, or "" if there is none that can be trusted.
std::string lockDirectory() {
    const std::string dir = "/tmp/trackloom-" + std::to_string(geteuid());
    mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        return {};
    }
    return dir;
}

}  // namespace

DirectoryLock::DirectoryLock(const std::string& directory, const std::function<void()>& waiting,
                             const std::function<void()>& betweenWaits) {
    struct stat target {};
    if (stat(directory.empty() ? "." : directory.c_str(), &target) != 0) return;
    const std::string locks = lockDirectory();
    if (locks.empty()) return;
    const std::string path =
        locks + "/" + std::to_string(target.st_dev) + "-" + std::to_string(target.st_ino) + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return;
    }
    int waitedMs = 0;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            close(fd);
            return;
        }
        if (waitedMs < kQuietWaitMs && waitedMs + kPollMs >= kQuietWaitMs && waiting) waiting();
        waitedMs += kPollMs;
        if (betweenWaits) betweenWaits();
        const timespec pause{0, kPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
    handle_ = fd;
    locked_ = true;
}

DirectoryLock::~DirectoryLock() {
    // Closing the descriptor releases the lock.
    if (locked_) close(static_cast<int>(handle_));
}

}  // namespace TrackloomApp::platform
