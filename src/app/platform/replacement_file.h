// A stem's file while it is written: under a temporary name beside its target, renamed over
// the target only when the whole set is complete. Safe in a shared directory such as /tmp:
// it is never created through a link or over a file that exists, it takes from the file it
// replaces only the permission bits of a file of the same owner, and it is locked while a
// run writes it, so a later run can tell the leftovers of a run that died from a live run's.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "dsp/io/byte_output.h"

namespace TrackloomApp::platform {

class ReplacementFile final : public Trackloom::io::ByteOutput {
  public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile() override;

    // Creates the temporary file beside `target`. False, with error() set, if it cannot be.
    bool open(const std::string& target);

    bool write(const void* data, size_t bytes) override;
    bool writeAt(uint64_t offset, const void* data, size_t bytes) override;
    uint64_t size() const override { return size_; }
    std::error_code error() const override { return error_; }

    // Renames the file over its target, which it first takes the permission bits of if the
    // target is a regular file of this user's (never setuid, setgid or sticky bits); else it
    // keeps the mode new files get. False, with error() set and the target untouched, if
    // the rename failed.
    bool commit();
    // Removes the temporary file; the target is left as it was.
    void abandon();

    const std::string& temporaryPath() const { return tempPath_; }
    const std::string& target() const { return target_; }

  private:
    bool fail(int error);

    intptr_t handle_ = -1;  // the platform's descriptor or handle
    std::string target_;
    std::string tempPath_;
    uint64_t size_ = 0;
    std::error_code error_;
};

// Whether a directory stands at `path` (not through a link), where a stem cannot go.
bool DirectoryInTheWay(const std::string& path);

// Removes from `directory` what runs that are gone left of the temporaries of the files
// named `targets` (names without the directory): only names the writers give, only regular
// files of this user's, never one a live run holds. Returns how many it removed.
int RemoveLeftoverTemporaries(const std::string& directory,
                              const std::vector<std::string>& targets);

}  // namespace TrackloomApp::platform
