#include "app/batch.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using namespace TrackloomApp;

TEST(Batch, OneFolderPerInputAndClashesNumbered) {
    const std::vector<std::string> inputs = {"a.mp3",   "music/b.flac", "other/a.wav", "A.ogg",
                                             "a-2.wav", "dir/",         "song.tar.gz", "a"};
    const std::vector<std::string> expected = {"OUT/a",     "OUT/b",     "OUT/a-2",      "OUT/A-3",
                                               "OUT/a-2-2", "OUT/input", "OUT/song.tar", "OUT/a-4"};
    EXPECT_EQ(BatchOutputDirs(inputs, "OUT"), expected);
}

// Input 0 cannot finish before input 2 has, so with three threads the work completes out of
// order; what is printed must still come in input order, the same as with one thread.
TEST(Batch, OutputInInputOrderWhateverTheThreads) {
    std::mutex mutex;
    std::condition_variable cv;
    bool twoDone = false;
    auto job = [&](size_t i, bool wait) {
        if (i == 0 && wait) {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return twoDone; });
        }
        JobResult r;
        r.status = i == 1 ? 1 : 0;
        r.out = "out " + std::to_string(i) + "\n";
        r.err = i == 1 ? "err 1\n" : "";
        if (i == 2) {
            std::lock_guard<std::mutex> lock(mutex);
            twoDone = true;
            cv.notify_all();
        }
        return r;
    };
    std::ostringstream out1, err1, out3, err3;
    EXPECT_EQ(RunJobs(
                  4, 1, [&](size_t i) { return job(i, false); }, out1, err1),
              1u);
    EXPECT_EQ(RunJobs(
                  4, 3, [&](size_t i) { return job(i, true); }, out3, err3),
              1u);
    EXPECT_EQ(out1.str(), "out 0\nout 1\nout 2\nout 3\n");
    EXPECT_EQ(out3.str(), out1.str());
    EXPECT_EQ(err3.str(), "err 1\n");
    EXPECT_EQ(RunJobs(
                  0, 4, [&](size_t i) { return job(i, false); }, out1, err1),
              0u);
}
