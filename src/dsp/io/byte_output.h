// Where a writer's bytes go. The writers only encode: whoever makes the output decides where
// the file is created, how it is protected and when it replaces its target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <system_error>

namespace Trackloom::io {

class ByteOutput {
  public:
    virtual ~ByteOutput() = default;

    // Appends `bytes` bytes. Returns false once anything has failed; error() says why.
    virtual bool write(const void* data, size_t bytes) = 0;
    // Overwrites bytes already written, from `offset` on: headers completed at the end.
    virtual bool writeAt(uint64_t offset, const void* data, size_t bytes) = 0;
    // Bytes written so far.
    virtual uint64_t size() const = 0;
    // The system's reason for the first failure; empty while there is none.
    virtual std::error_code error() const = 0;
};

// A file written beside its target under a temporary name (TemporaryNameFor), renamed over
// the target by commit() once complete, so the target is always the whole old file or the
// whole new one. Through the standard library alone: the command layer uses a file of its
// own that also guards against links and other users planted in shared directories.
class FileOutput final : public ByteOutput {
  public:
    FileOutput() = default;
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;
    ~FileOutput() override;

    // Creates the temporary file; false with error() set if it cannot be.
    bool open(const std::string& target);
    bool write(const void* data, size_t bytes) override;
    bool writeAt(uint64_t offset, const void* data, size_t bytes) override;
    uint64_t size() const override { return size_; }
    std::error_code error() const override { return error_; }

    // Closes the file and renames it over the target. False, with the target untouched, if
    // any byte did not make it.
    bool commit();
    // Removes the temporary file; the target is left as it was.
    void abandon();

    const std::string& temporaryPath() const { return tempPath_; }

  private:
    bool fail();

    std::ofstream file_;
    std::string target_;
    std::string tempPath_;
    uint64_t size_ = 0;
    std::error_code error_;
};

// A name beside `path` that no one would take for a finished file, for writing it whole
// before it replaces the target: `path`, a dot, 12 hex digits and ".partial".
std::string TemporaryNameFor(const std::string& path);

// Whether `name` (a file name without its directory) is one TemporaryNameFor gives for
// `target` (a file name too).
bool IsTemporaryNameFor(const std::string& name, const std::string& target);

}  // namespace Trackloom::io
