#include <windows.h>

#include <cerrno>
#include <system_error>

#include "app/platform/replacement_file.h"

namespace TrackloomApp::platform {
namespace {

constexpr int kNameAttempts = 8;
// A leftover younger than this may be a live run's that has only just made it.
constexpr ULONGLONG kLeftoverAge100ns = 2ull * 10000000ull;

HANDLE handleOf(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

// The errno value closest to a Windows error, for the reasons the command layer words.
int errnoFor(DWORD error) {
    switch (error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        default:
            return EIO;
    }
}

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
        // CREATE_NEW never opens what is there, a link included. Others may not open it while
        // this run writes it, which tells a live run's file from a leftover; they may rename
        // it, which the commit does through its own name.
        const HANDLE file =
            CreateFileA(tempPath_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            tempPath_.clear();
            return fail(errnoFor(error));
        }
        handle_ = reinterpret_cast<intptr_t>(file);
        return true;
    }
    tempPath_.clear();
    return fail(EEXIST);
}

bool ReplacementFile::write(const void* data, size_t bytes) {
    if (!writeAt(size_, data, bytes)) return false;
    size_ += bytes;
    return true;
}

bool ReplacementFile::writeAt(uint64_t offset, const void* data, size_t bytes) {
    if (handle_ == -1 || error_) return false;
    const auto* p = static_cast<const char*>(data);
    for (size_t done = 0; done < bytes;) {
        const DWORD chunk =
            bytes - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes - done);
        OVERLAPPED at{};
        const uint64_t position = offset + done;
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD written = 0;
        if (!WriteFile(handleOf(handle_), p + done, chunk, &written, &at) || written == 0) {
            return fail(errnoFor(GetLastError()));
        }
        done += written;
    }
    return true;
}

bool ReplacementFile::commit() {
    if (handle_ == -1 || error_) return false;
    // Windows keeps no permission bits; a file replaced keeps the attributes new files get.
    CloseHandle(handleOf(handle_));
    handle_ = -1;
    if (!MoveFileExA(tempPath_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        abandon();
        return fail(errnoFor(error));
    }
    tempPath_.clear();
    return true;
}

bool ReplacementFile::fail(int error) {
    if (!error_) error_ = std::error_code(error, std::generic_category());
    return false;
}

void ReplacementFile::abandon() {
    if (handle_ != -1) CloseHandle(handleOf(handle_));
    handle_ = -1;
    if (!tempPath_.empty()) DeleteFileA(tempPath_.c_str());
    tempPath_.clear();
}

bool DirectoryInTheWay(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int RemoveLeftoverTemporaries(const std::string& directory,
                              const std::vector<std::string>& targets) {
    const std::string prefix = directory.empty() ? "" : directory + "\\";
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((prefix + "*.partial").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    FILETIME nowTime;
    GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now =
        (static_cast<ULONGLONG>(nowTime.dwHighDateTime) << 32) | nowTime.dwLowDateTime;
    int removed = 0;
    do {
        const std::string name = found.cFileName;
        bool ours = false;
        for (const std::string& target : targets) {
            ours = ours || Trackloom::io::IsTemporaryNameFor(name, target);
        }
        if (!ours ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            continue;
        }
        const ULONGLONG written =
            (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
            found.ftLastWriteTime.dwLowDateTime;
        if (now < written + kLeftoverAge100ns) continue;
        // Opened only when no run has it open, and removed as it closes.
        const HANDLE file =
            CreateFileA((prefix + name).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        CloseHandle(file);
        ++removed;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return removed;
}

}  // namespace TrackloomApp::platform
