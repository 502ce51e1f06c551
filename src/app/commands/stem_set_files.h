// The stem files of a split as one set, whichever writer makes them: their
// temporaries watched from the moment they exist, so an interruption removes them, and
// renamed together under a lock on the directory, so concurrent runs leave one run's set.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/platform/directory_lock.h"
#include "app/platform/interrupt_cleanup.h"

namespace TrackloomApp {

// Opens the writers with `open(writer, k)` (true on success), noting which in `ok` (as
// many as the writers), and has `cleanup` watch their temporaries.
template <class Writers, class Flags, class Open>
void OpenStemSet(InterruptCleanup& cleanup, Writers& writers, Flags& ok, Open open) {
    cleanup.hold();
    std::vector<std::string> temporaries;
    for (size_t k = 0; k < writers.size(); ++k) {
        ok[k] = open(writers[k], k);
        if (ok[k]) temporaries.push_back(writers[k].temporaryPath());
    }
    cleanup.watch(temporaries);
    cleanup.release();
}

// Finishes the writers still writing and renames their files over the targets, all under
// the directory's lock and with interruptions held off, then ends the run if one came
// meanwhile (`closeAll` closing what is open). Returns whether all were written.
template <class Writers, class Flags>
bool FinishStemSet(InterruptCleanup& cleanup, const std::string& outputDir, Writers& writers,
                   Flags& ok, const std::function<void()>& closeAll) {
    bool allWritten = true;
    {
        cleanup.hold();
        const DirectoryLock lock(outputDir);
        for (size_t k = 0; k < writers.size(); ++k) {
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
