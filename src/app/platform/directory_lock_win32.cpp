#include <windows.h>

#include <cctype>
#include <cstdint>
#include <vector>

#include "app/platform/directory_lock.h"

namespace TrackloomApp::platform {
namespace {

// The directory's own name, links and drive letters resolved, so that two runs naming it
// differently still meet; the full path where it cannot be had.
std::string canonicalName(const std::string& directory) {
    std::string name;
    const HANDLE dir =
        CreateFileA(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir != INVALID_HANDLE_VALUE) {
        std::vector<char> buffer(32768);
        const DWORD n =
            GetFinalPathNameByHandleA(dir, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (n > 0 && n < buffer.size()) name.assign(buffer.data(), n);
        CloseHandle(dir);
    }
    if (name.empty()) {
        std::vector<char> buffer(32768);
        const DWORD n = GetFullPathNameA(directory.c_str(), static_cast<DWORD>(buffer.size()),
                                         buffer.data(), nullptr);
        if (n == 0 || n >= buffer.size()) return std::string();
        name.assign(buffer.data(), n);
    }
    // Windows paths ignore case.
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace

// A named mutex per directory rather than a lock file, so nothing is left in the user's
// folder; a run that dies abandons the mutex, and the next one takes it over.
DirectoryLock::DirectoryLock(const std::string& directory, const std::function<void()>& waiting,
                             const std::function<void()>& betweenWaits) {
    const std::string name = canonicalName(directory);
    if (name.empty()) return;
    // FNV-1a: mutex names cannot hold backslashes and are limited in length.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    static const char* digits = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 16; ++i, hash >>= 4) id += digits[hash & 15u];
    HANDLE mutex = CreateMutexA(nullptr, FALSE, ("Global\\trackloom-stems-" + id).c_str());
    if (mutex == nullptr)
        mutex = CreateMutexA(nullptr, FALSE, ("Local\\trackloom-stems-" + id).c_str());
    if (mutex == nullptr) return;
    // Waited for in slices, so that an interruption is seen and the user told of the wait.
    DWORD waited;
    int waitedMs = 0;
    while ((waited = WaitForSingleObject(mutex, kPollMs)) == WAIT_TIMEOUT) {
        if (waitedMs < kQuietWaitMs && waitedMs + kPollMs >= kQuietWaitMs && waiting) waiting();
        waitedMs += kPollMs;
        if (betweenWaits) betweenWaits();
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return;
    }
    handle_ = reinterpret_cast<intptr_t>(mutex);
    locked_ = true;
}

DirectoryLock::~DirectoryLock() {
    if (!locked_) return;
    const auto mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

}  // namespace TrackloomApp::platform
