// The four stem files of a split as one set, whichever writer makes them: their
// temporaries watched from the moment they exist, so an interruption removes them, and
// renamed together under a lock on the directory, so concurrent runs leave one run's set.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/directory_lock.h"
#include "app/interrupt_cleanup.h"

namespace TrackloomApp {

// Opens the four writers with `open(writer, k)` (true on success) and has `cleanup` watch
// their temporaries. Returns which were opened.
template <class Writer, class Open>
std::array<bool, 4> OpenStemSet(InterruptCleanup& cleanup, std::array<Writer, 4>& writers,
                                Open open) {
    std::array<bool, 4> ok{};
    cleanup.hold();
    std::vector<std::string> temporaries;
    for (size_t k = 0; k < 4; ++k) {
        ok[k] = open(writers[k], k);
        if (ok[k]) temporaries.push_back(writers[k].temporaryPath());
    }
    cleanup.watch(temporaries);
    cleanup.release();
    return ok;
}

// Finishes the writers still writing and renames their files over the targets, all under
// the directory's lock and with interruptions held off, then ends the run if one came
// meanwhile (`closeAll` closing what is open). Returns whether all four were written.
template <class Writer>
bool FinishStemSet(InterruptCleanup& cleanup, const std::string& outputDir,
                   std::array<Writer, 4>& writers, std::array<bool, 4>& ok,
                   const std::function<void()>& closeAll) {
    bool allWritten = true;
    {
        cleanup.hold();
        const DirectoryLock lock(outputDir);
        for (size_t k = 0; k < 4; ++k) {
            if (ok[k]) ok[k] = writers[k].finish();
            if (!ok[k]) allWritten = false;
        }
        cleanup.watch({});
        cleanup.release();
    }
    // An interruption that waited for the set still ends the run as interrupted.
    cleanup.closeAndEndIfInterrupted(closeAll);
    return allWritten;
}

}  // namespace TrackloomApp
