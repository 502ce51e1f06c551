#include "dsp/io/byte_output.h"

#include <cerrno>
#include <filesystem>
#include <random>

namespace Trackloom::io {
namespace {

constexpr size_t kSuffixDigits = 12;
constexpr char kPartial[] = ".partial";

// The system's reason for the file operation that just failed. Streams keep no error of
// their own, but the C library leaves errno set by the call that failed.
std::error_code lastSystemError() {
    return std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}

}  // namespace

std::string TemporaryNameFor(const std::string& path) {
    // One generator per thread: several splits may be naming their files at once.
    thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string suffix = ".";
    uint64_t r = rng();
    for (size_t i = 0; i < kSuffixDigits; ++i, r >>= 4) suffix += digits[r & 15u];
    return path + suffix + kPartial;
}

bool IsTemporaryNameFor(const std::string& name, const std::string& target) {
    const size_t partial = sizeof kPartial - 1;
    if (name.size() != target.size() + 1 + kSuffixDigits + partial) return false;
    if (name.compare(0, target.size(), target) != 0 || name[target.size()] != '.') return false;
    if (name.compare(name.size() - partial, partial, kPartial) != 0) return false;
    for (size_t i = target.size() + 1; i < target.size() + 1 + kSuffixDigits; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

FileOutput::~FileOutput() {
    abandon();
}

bool FileOutput::open(const std::string& target) {
    abandon();
    error_.clear();
    size_ = 0;
    target_ = target;
    tempPath_ = TemporaryNameFor(target);
    errno = 0;
    file_.open(tempPath_, std::ios::binary | std::ios::trunc);
    if (!file_.is_open()) {
        error_ = lastSystemError();
        tempPath_.clear();
        return false;
    }
    return true;
}

bool FileOutput::write(const void* data, size_t bytes) {
    if (error_ || !file_.is_open()) return false;
    errno = 0;
    file_.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    if (!file_) return fail();
    size_ += bytes;
    return true;
}

bool FileOutput::writeAt(uint64_t offset, const void* data, size_t bytes) {
    if (error_ || !file_.is_open()) return false;
    errno = 0;
    file_.seekp(static_cast<std::streamoff>(offset));
    file_.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    file_.seekp(0, std::ios::end);
    return file_ ? true : fail();
}

bool FileOutput::commit() {
    if (error_ || !file_.is_open()) return false;
    errno = 0;
    file_.flush();
    file_.close();
    if (file_.fail()) return fail();
    std::error_code ec;
    std::filesystem::rename(tempPath_, target_, ec);
    if (ec) {
        error_ = ec;
        abandon();
        return false;
    }
    tempPath_.clear();
    return true;
}

bool FileOutput::fail() {
    if (!error_) error_ = lastSystemError();
    abandon();
    return false;
}

void FileOutput::abandon() {
    if (file_.is_open()) file_.close();
    file_.clear();
    if (!tempPath_.empty()) {
        std::error_code ec;
        std::filesystem::remove(tempPath_, ec);
        tempPath_.clear();
    }
}

}  // namespace Trackloom::io
