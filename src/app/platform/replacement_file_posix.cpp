#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "app/platform/replacement_file.h"

namespace TrackloomApp::platform {
namespace {

// A leftover younger than this may be a live run's that has not locked it yet.
constexpr time_t kLeftoverAgeSeconds = 2;
// Names tried before giving up when the random ones are taken.
constexpr int kNameAttempts = 8;

}  // namespace

ReplacementFile::~ReplacementFile() {
    abandon();
}

bool ReplacementFile::open(const std::string& target) {
    abandon();
    error_.clear();
    size_ = 0;
    target_ = target;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        tempPath_ = Trackloom::io::TemporaryNameFor(target);
        // Never through a link someone planted, never into a file that is there already.
        const int fd =
            ::open(tempPath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            const int error = errno;
            tempPath_.clear();
            return fail(error);
        }
        handle_ = fd;
        // Held until the file is renamed or removed: a run that finds it unlocked knows its
        // writer is gone. A new file of our own cannot be locked by anyone else yet.
        flock(fd, LOCK_EX | LOCK_NB);
        return true;
    }
    tempPath_.clear();
    return fail(EEXIST);
}

bool ReplacementFile::write(const void* data, size_t bytes) {
    if (handle_ < 0 || error_) return false;
    const auto* p = static_cast<const char*>(data);
    for (size_t done = 0; done < bytes;) {
        const ssize_t n = ::write(static_cast<int>(handle_), p + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(n);
    }
    size_ += bytes;
    return true;
}

bool ReplacementFile::writeAt(uint64_t offset, const void* data, size_t bytes) {
    if (handle_ < 0 || error_) return false;
    const auto* p = static_cast<const char*>(data);
    for (size_t done = 0; done < bytes;) {
        const ssize_t n = pwrite(static_cast<int>(handle_), p + done, bytes - done,
                                 static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReplacementFile::commit() {
    if (handle_ < 0 || error_) return false;
    const int fd = static_cast<int>(handle_);
    struct stat old {};
    // The old file's own mode, not that of whatever a link there points to, and only from a
    // file this user owns: a planted world-writable file must not make ours so.
    if (lstat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode) && old.st_uid == geteuid()) {
        fchmod(fd, old.st_mode & 0777);
    }
    if (rename(tempPath_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        abandon();
        return fail(error);
    }
    // Renamed while still locked, so no run ever sees it unlocked under its temporary name.
    tempPath_.clear();
    close(fd);
    handle_ = -1;
    return true;
}

bool ReplacementFile::fail(int error) {
    if (!error_) error_ = std::error_code(error, std::generic_category());
    return false;
}

void ReplacementFile::abandon() {
    if (!tempPath_.empty()) unlink(tempPath_.c_str());
    tempPath_.clear();
    if (handle_ >= 0) close(static_cast<int>(handle_));
    handle_ = -1;
}

bool DirectoryInTheWay(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RemoveLeftoverTemporaries(const std::string& directory,
                              const std::vector<std::string>& targets) {
    DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return 0;
    const std::string prefix = directory.empty() ? "" : directory + "/";
    const time_t now = time(nullptr);
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        bool ours = false;
        for (const std::string& target : targets) {
            ours = ours || Trackloom::io::IsTemporaryNameFor(name, target);
        }
        if (!ours) continue;
        const std::string path = prefix + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        // A live run holds its lock until the file is renamed or gone.
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            now - st.st_mtime >= kLeftoverAgeSeconds && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat named {};
            // Still the same file under that name: remove it while holding its lock.
            if (lstat(path.c_str(), &named) == 0 && named.st_ino == st.st_ino &&
                named.st_dev == st.st_dev && unlink(path.c_str()) == 0) {
                ++removed;
            }
        }
        close(fd);
    }
    closedir(dir);
    return removed;
}

}  // namespace TrackloomApp::platform
