// The program as an unlucky user meets it: WAVs past 4 GiB, interrupted runs, two runs into
// one directory, private stems, an empty directory argument, an answer with nowhere to go.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "app/commands.h"
#include "streaming_support.h"
#include "test_support.h"

using namespace TrackloomTest;
using StreamingTest::kStems;
using StreamingTest::strayFiles;

namespace {

// Starts the program with standard output to `out` (closed if empty) and standard error
// to `err`, with the interruptions' default handling, as from a terminal.
pid_t start(std::vector<std::string> args, const std::string& out, const std::string& err) {
    args.insert(args.begin(), TRACKLOOM_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (out.empty()) {
            close(1);
        } else {
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The exit status, or 128 + the signal that ended the program.
int finish(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string text(const std::string& path) {
    const Bytes b = readFile(path);
    return std::string(b.begin(), b.end());
}

}  // namespace

TEST(DataSafety, AllOnesDataSizeReadsAFilePastFourGiBToItsEnd) {
    TempDir dir;
    const std::string path = dir.file("huge.wav");
    // 4 GiB and 16 KiB of stereo 16-bit samples: a header in front of a hole, the last four
    // frames written.
    const uint64_t frames = (uint64_t{1} << 30) + 4096;
    Bytes wav = buildS16Wav({}, 2);
    std::fill(wav.begin() + 40, wav.end(), 0xFF);
    std::fill(wav.begin() + 4, wav.begin() + 8, 0xFF);
    const std::vector<int16_t> last = {1, -2, 3, -4, 5, -6, 7, -8};
    const Bytes tail = buildS16Wav(last, 2);
    writeFile(path, wav);
    {
        // Writing past the end leaves a hole, which reads as zeros and takes no disk.
        std::ofstream out(path, std::ios::binary | std::ios::in);
        out.seekp(static_cast<std::streamoff>(44 + 4 * (frames - 4)));
        out.write(reinterpret_cast<const char*>(tail.data() + 44), 16);
        ASSERT_TRUE(out.good());
    }
    Trackloom::WavReader reader;
    ASSERT_EQ(reader.open(path), Trackloom::WavStatus::Ok);
    EXPECT_EQ(reader.frameCount(), frames);
    std::vector<float> block(2 * 65536);
    uint64_t read = 0;
    size_t n = 0;
    std::vector<float> end;
    while ((n = reader.readFrames(block.data(), 65536)) > 0) {
        read += n;
        end.assign(block.begin(), block.begin() + 2 * static_cast<std::ptrdiff_t>(n));
    }
    EXPECT_EQ(read, frames);
    ASSERT_GE(end.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(end[end.size() - 8 + i], last[i] / 32768.0f) << i;
    EXPECT_FALSE(reader.endedEarly());
}

class DataSafetyRuns : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(input_, buildS16Wav(makeTestSignal(2 * 30870, 3), 2));  // 0.7 s stereo
    }
    // Old stems, each different, to tell from new ones.
    void plantOldStems(const std::string& out) {
        for (const char* stem : kStems) writeFile(out + "/" + stem, Bytes(stem, stem + 6));
    }
    bool oldStemsKept(const std::string& out) {
        for (const char* stem : kStems) {
            if (readFile(out + "/" + stem) != Bytes(stem, stem + 6)) return false;
        }
        return true;
    }
    TempDir dir_;
    const std::string input_ = dir_.file("in.wav");
    const std::string err_ = dir_.file("err.txt");
};

TEST_F(DataSafetyRuns, InterruptedSplitRemovesItsTemporariesAndDiesOfTheSignal) {
    // Fed through a FIFO that stops half way, the split is caught in the middle every time.
    const std::string fifo = dir_.file("feed"), out = dir_.file("out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(out);
    plantOldStems(out);
    const Bytes song = buildS16Wav(makeTestSignal(2 * 44100, 5), 2);  // half is over a block
    signal(SIGPIPE, SIG_IGN);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = start({"--split", fifo, out}, "/dev/null", err_);
        const int fd = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, song.data(), song.size() / 2), static_cast<ssize_t>(song.size() / 2));
        size_t partials = 0;
        for (int i = 0; i < 1000 && partials < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            partials = strayFiles(out).size();
        }
        EXPECT_EQ(partials, 4u) << "the split never started writing";
        kill(pid, sig);
        EXPECT_EQ(finish(pid), 128 + sig) << strsignal(sig);
        close(fd);
        EXPECT_TRUE(strayFiles(out).empty()) << strsignal(sig);
        EXPECT_TRUE(oldStemsKept(out)) << strsignal(sig);
    }
}

TEST_F(DataSafetyRuns, ConcurrentSplitsLeaveTheStemsOfOneRun) {
    const std::array<Bytes, 2> songs = {readFile(input_),
                                        buildS16Wav(makeTestSignal(2 * 30870, 4), 2)};
    const std::array<std::string, 2> fifos = {dir_.file("a.fifo"), dir_.file("b.fifo")};
    const std::string shared = dir_.file("shared");
    std::filesystem::create_directory(shared);
    std::array<std::string, 2> alone;
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(mkfifo(fifos[i].c_str(), 0600), 0);
        writeFile(dir_.file("song" + std::to_string(i)), songs[i]);
        alone[i] = dir_.file("alone" + std::to_string(i));
        std::filesystem::create_directory(alone[i]);
        CaptureOutput capture;
        ASSERT_EQ(TrackloomApp::RunSplit(dir_.file("song" + std::to_string(i)), alone[i]), 0);
    }
    // Both runs are fed all but their last bytes, then both ends at once, so that they come
    // to renaming their stems together. Renamed one by one without a lock, a third to two
    // thirds of these pairs left a mixed set.
    constexpr size_t kLast = 4096;
    int mixed = 0;
    for (int round = 0; round < 40; ++round) {
        std::array<pid_t, 2> pids;
        std::array<int, 2> fds;
        for (size_t i = 0; i < 2; ++i) {
            pids[i] = start({"--split", fifos[i], shared}, "/dev/null", err_ + std::to_string(i));
            fds[i] = open(fifos[i].c_str(), O_WRONLY);
            ASSERT_GE(fds[i], 0);
        }
        for (size_t i = 0; i < 2; ++i) {
            const auto n = static_cast<ssize_t>(songs[i].size() - kLast);
            ASSERT_EQ(write(fds[i], songs[i].data(), static_cast<size_t>(n)), n);
        }
        for (size_t i = 0; i < 2; ++i) {
            ASSERT_EQ(write(fds[i], songs[i].data() + songs[i].size() - kLast, kLast),
                      static_cast<ssize_t>(kLast));
            close(fds[i]);
        }
        ASSERT_EQ(finish(pids[0]), 0);
        ASSERT_EQ(finish(pids[1]), 0);
        std::array<int, 2> from = {0, 0};
        for (const char* stem : kStems) {
            const Bytes got = readFile(shared + "/" + stem);
            for (size_t i = 0; i < 2; ++i) from[i] += got == readFile(alone[i] + "/" + stem);
        }
        ASSERT_EQ(from[0] + from[1], 4) << "a stem from neither input";
        mixed += from[0] != 0 && from[1] != 0;
    }
    EXPECT_EQ(mixed, 0);
}

TEST_F(DataSafetyRuns, ReplacedStemsKeepTheirPermissionBits) {
    const std::string out = dir_.file("out");
    std::filesystem::create_directory(out);
    plantOldStems(out);
    const mode_t modes[] = {0600, 0640, 0444, 0664};
    for (size_t k = 0; k < 4; ++k) chmod((out + "/" + kStems[k]).c_str(), modes[k]);
    CaptureOutput capture;
    ASSERT_EQ(TrackloomApp::RunSplit(input_, out), 0);
    for (size_t k = 0; k < 4; ++k) {
        struct stat st {};
        ASSERT_EQ(stat((out + "/" + kStems[k]).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, modes[k]) << kStems[k];
        EXPECT_EQ(st.st_size, 44 + 4 * 30870) << kStems[k];
    }
}

TEST_F(DataSafetyRuns, EmptyOutputDirectoryIsRefusedBeforeReading) {
    const bool rootHadAStem = std::filesystem::exists("/vocals.wav");
    const std::string line =
        "Output directory is empty: give the directory to write the stems into\n";
    for (const std::string& in : {input_, dir_.file("missing.wav")}) {
        CaptureOutput capture;
        EXPECT_EQ(TrackloomApp::RunSplit(in, ""), 1);
        EXPECT_EQ(capture.err(), line);
        EXPECT_EQ(capture.out(), "");
    }
    if (!rootHadAStem) {
        EXPECT_FALSE(std::filesystem::exists("/vocals.wav"));
    }
}

TEST_F(DataSafetyRuns, AnswerThatCannotBeWrittenIsAFailure) {
    const std::vector<std::vector<std::string>> commands = {
        {"--bpm", input_}, {"--split", input_, dir_.path().string()}, {"--help"}, {"--demo"}};
    for (const auto& args : commands) {
        EXPECT_EQ(finish(start(args, "/dev/full", err_)), 1) << args[0];
        EXPECT_NE(text(err_).find("Failed to write to standard output\n"), std::string::npos)
            << args[0];
    }
    // Standard output closed outright.
    EXPECT_EQ(finish(start({"--bpm", input_}, "", err_)), 1);
    EXPECT_EQ(text(err_), "Failed to write to standard output\n");
    // And the same answers, written, are no failure.
    EXPECT_EQ(finish(start({"--bpm", input_}, dir_.file("answer.txt"), err_)), 0);
    EXPECT_EQ(text(err_), "");
}
