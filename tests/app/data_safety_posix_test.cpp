// The program as an unlucky user meets it: WAVs past 4 GiB, interrupted runs, two runs into
// one directory, private stems, an empty directory argument, an answer with nowhere to go.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "app/commands/demo_command.h"
#include "app/commands/split_command.h"
#include "test_support.h"

using namespace TrackloomTest;

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
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) signal(s, SIG_DFL);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        close(1);
        if (!out.empty()) dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
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

}  // namespace

TEST(DataSafety, AllOnesDataSizeReadsAFilePastFourGiBToItsEnd) {
    TempDir dir;
    const std::string path = dir.file("huge.wav");
    // 4 GiB and 256 KiB of stereo 16-bit samples: a header in front of a hole, which reads
    // as zeros and takes no disk, then the last four frames.
    const uint64_t frames = (uint64_t{1} << 30) + 65536;
    Bytes wav = buildS16Wav({}, 2);
    std::fill(wav.begin() + 4, wav.begin() + 8, 0xFF);
    std::fill(wav.begin() + 40, wav.end(), 0xFF);
    writeFile(path, wav);
    const std::vector<int16_t> last = {1, -2, 3, -4, 5, -6, 7, -8};
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, last.data(), 16, static_cast<off_t>(44 + 4 * (frames - 4))), 16);
    close(fd);
    Trackloom::io::WavReader reader;
    ASSERT_EQ(reader.open(path), Trackloom::io::WavStatus::Ok);
    EXPECT_EQ(reader.frameCount(), frames);
    std::vector<float> block(2 * 65536);
    while (reader.readFrames(block.data(), 65536) > 0) {
    }
    EXPECT_EQ(reader.framesRead(), frames);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(block[block.size() - 8 + i], last[i] / 32768.0f);
}

class DataSafetyRuns : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(input_, buildS16Wav(makeTestSignal(2 * 30870, 3), 2));  // 0.7 s stereo
        std::filesystem::create_directory(out_);
        // Old stems, each different, to tell from new ones.
        for (const char* stem : kStems) writeFile(out_ + "/" + stem, Bytes(stem, stem + 6));
    }
    bool oldStemsKept() {
        for (const char* stem : kStems) {
            if (readFile(out_ + "/" + stem) != Bytes(stem, stem + 6)) return false;
        }
        return true;
    }
    std::string errText() {
        const Bytes b = readFile(err_);
        return std::string(b.begin(), b.end());
    }
    TempDir dir_;
    const std::string input_ = dir_.file("in.wav"), out_ = dir_.file("out"),
                      err_ = dir_.file("err.txt");
};

TEST_F(DataSafetyRuns, InterruptedSplitRemovesItsTemporariesAndDiesOfTheSignal) {
    // Fed half a song through a FIFO, the split is caught in the middle every time.
    const std::string fifo = dir_.file("feed");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Bytes song = buildS16Wav(makeTestSignal(8 * 44100, 5), 2);  // half is many blocks
    signal(SIGPIPE, SIG_IGN);
    // A reader of the output gone (SIGPIPE) and the file size limit (SIGXFSZ) end a run too.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
        const pid_t pid = start({"--split", fifo, out_}, "/dev/null", err_);
        const int fd = open(fifo.c_str(), O_WRONLY);
        ASSERT_EQ(write(fd, song.data(), song.size() / 2), static_cast<ssize_t>(song.size() / 2));
        for (int i = 0; i < 1000 && strayFiles(out_).size() < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(strayFiles(out_).size(), 4u) << "the split never started writing";
        kill(pid, sig);
        EXPECT_EQ(finish(pid), 128 + sig) << strsignal(sig);
        close(fd);
        EXPECT_TRUE(strayFiles(out_).empty()) << strsignal(sig);
        EXPECT_TRUE(oldStemsKept()) << strsignal(sig);
    }
}

TEST_F(DataSafetyRuns, InterruptedBatchRemovesEveryRunsTemporaries) {
    // Two inputs split at once, each caught half read: both runs' temporaries go.
    const Bytes song = buildS16Wav(makeTestSignal(8 * 44100, 6), 2);
    signal(SIGPIPE, SIG_IGN);
    std::array<std::string, 2> fifos, outs;
    for (size_t i = 0; i < 2; ++i) {
        fifos[i] = dir_.file("feed" + std::to_string(i));
        outs[i] = out_ + "/feed" + std::to_string(i);
        ASSERT_EQ(mkfifo(fifos[i].c_str(), 0600), 0);
    }
    auto started = [&] {
        for (const std::string& out : outs) {
            if (!std::filesystem::is_directory(out) || strayFiles(out).size() < 4) return false;
        }
        return true;
    };
    for (int sig : {SIGINT, SIGTERM}) {
        const pid_t pid =
            start({"--split", fifos[0], fifos[1], "-o", out_, "-j", "2"}, "/dev/null", err_);
        std::array<int, 2> fds;
        for (size_t i = 0; i < 2; ++i) {
            fds[i] = open(fifos[i].c_str(), O_WRONLY);
            ASSERT_EQ(write(fds[i], song.data(), song.size() / 2),
                      static_cast<ssize_t>(song.size() / 2));
        }
        for (int i = 0; i < 1000 && !started(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(started()) << "the splits never both started writing";
        kill(pid, sig);
        EXPECT_EQ(finish(pid), 128 + sig) << strsignal(sig);
        for (int fd : fds) close(fd);
        for (const std::string& out : outs) {
            EXPECT_TRUE(strayFiles(out).empty()) << strsignal(sig) << " " << out;
        }
    }
}

TEST_F(DataSafetyRuns, ConcurrentSplitsLeaveTheStemsOfOneRun) {
    const std::array<Bytes, 2> songs = {readFile(input_),
                                        buildS16Wav(makeTestSignal(2 * 30870, 4), 2)};
    std::array<std::string, 2> fifos, alone;
    for (size_t i = 0; i < 2; ++i) {
        fifos[i] = dir_.file("fifo" + std::to_string(i));
        alone[i] = dir_.file("alone" + std::to_string(i));
        ASSERT_EQ(mkfifo(fifos[i].c_str(), 0600), 0);
        std::filesystem::create_directory(alone[i]);
        writeFile(alone[i] + ".wav", songs[i]);
        CaptureOutput capture;
        ASSERT_EQ(TrackloomApp::commands::RunSplit(alone[i] + ".wav", alone[i]), 0);
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
            pids[i] = start({"--split", fifos[i], out_}, "/dev/null", err_);
            fds[i] = open(fifos[i].c_str(), O_WRONLY);
        }
        for (size_t part : {0, 1}) {
            for (size_t i = 0; i < 2; ++i) {
                const size_t from = part == 0 ? 0 : songs[i].size() - kLast;
                const size_t n = part == 0 ? songs[i].size() - kLast : kLast;
                ASSERT_EQ(write(fds[i], songs[i].data() + from, n), static_cast<ssize_t>(n));
                if (part == 1) close(fds[i]);
            }
        }
        ASSERT_EQ(finish(pids[0]), 0);
        ASSERT_EQ(finish(pids[1]), 0);
        std::array<int, 2> from = {0, 0};
        for (const char* stem : kStems) {
            const Bytes got = readFile(out_ + "/" + stem);
            for (size_t i = 0; i < 2; ++i)
                from[i] += static_cast<bool>(sameFile(out_ + "/" + stem, alone[i] + "/" + stem));
        }
        ASSERT_EQ(from[0] + from[1], 4) << "a stem from neither input";
        mixed += from[0] != 0 && from[1] != 0;
    }
    EXPECT_EQ(mixed, 0);
}

TEST_F(DataSafetyRuns, ReplacedStemsKeepTheirPermissionBits) {
    const mode_t modes[] = {0600, 0640, 0444, 0664};
    for (size_t k = 0; k < 4; ++k) chmod((out_ + "/" + kStems[k]).c_str(), modes[k]);
    CaptureOutput capture;
    ASSERT_EQ(TrackloomApp::commands::RunSplit(input_, out_), 0);
    for (size_t k = 0; k < 4; ++k) {
        struct stat st {};
        ASSERT_EQ(stat((out_ + "/" + kStems[k]).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, modes[k]) << kStems[k];
        EXPECT_EQ(st.st_size, 44 + 4 * 30870) << kStems[k];
    }
}

TEST_F(DataSafetyRuns, EmptyOutputDirectoryIsRefusedBeforeReading) {
    const bool rootHadAStem = std::filesystem::exists("/vocals.wav");
    for (const std::string& in : {input_, dir_.file("missing.wav")}) {
        CaptureOutput capture;
        EXPECT_EQ(TrackloomApp::commands::RunSplit(in, ""), 1);
        EXPECT_EQ(capture.err(),
                  "Output directory is empty: give the directory to write the stems into\n");
    }
    EXPECT_TRUE(rootHadAStem || !std::filesystem::exists("/vocals.wav"));
}

TEST_F(DataSafetyRuns, AnswerThatCannotBeWrittenIsAFailure) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--bpm", input_}, {"--split", input_, out_}, {"--help"}, {"--demo"}}) {
        EXPECT_EQ(finish(start(args, "/dev/full", err_)), 1) << args[0];
        EXPECT_NE(errText().find("Failed to write to standard output\n"), std::string::npos)
            << args[0];
    }
    // Standard output closed outright.
    EXPECT_EQ(finish(start({"--bpm", input_}, "", err_)), 1);
    EXPECT_NE(errText().find("Failed to write to standard output\n"), std::string::npos);
}

// A run writing into the same directory is waited for with interruptions live: the waiting
// run says so after a second, and an interruption meanwhile leaves everything as it was.
TEST_F(DataSafetyRuns, WaitForAnotherRunCanBeInterrupted) {
    struct stat dir {};
    ASSERT_EQ(stat(out_.c_str(), &dir), 0);
    const std::string locks = "/tmp/trackloom-" + std::to_string(geteuid());
    mkdir(locks.c_str(), 0700);
    const std::string lock =
        locks + "/" + std::to_string(dir.st_dev) + "-" + std::to_string(dir.st_ino) + ".lock";
    const int held = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const pid_t pid = start({"--split", input_, out_}, "/dev/null", err_);
    const std::string notice = "Waiting for another run writing stems into " + out_ + "\n";
    for (int i = 0; i < 1000 && errText().find(notice) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(errText(), notice);
    kill(pid, SIGINT);
    EXPECT_EQ(finish(pid), 128 + SIGINT);
    close(held);
    EXPECT_TRUE(oldStemsKept());
    EXPECT_TRUE(strayFiles(out_).empty());
}

// A stem replaces what its name points to, never through it, and takes from the old file
// only the permission bits of a regular file of the same owner: a link planted in a shared
// directory to a setuid program gives neither its bits nor its contents away.
TEST_F(DataSafetyRuns, StemsTakeNoBitsThroughLinksOrBeyondPermissions) {
    const std::string program = dir_.file("setuid-program");
    writeFile(program, {'e', 'l', 'f'});
    ASSERT_EQ(chmod(program.c_str(), 04755), 0);
    const std::string drums = out_ + "/drums.wav", bass = out_ + "/bass.wav";
    std::remove(drums.c_str());
    ASSERT_EQ(symlink(program.c_str(), drums.c_str()), 0);
    ASSERT_EQ(chmod(bass.c_str(), 06775), 0);
    const mode_t mask = umask(022);
    umask(mask);
    ASSERT_EQ(finish(start({"--split", input_, out_}, "/dev/null", err_)), 0) << errText();
    struct stat st {};
    ASSERT_EQ(lstat(drums.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    ASSERT_EQ(lstat(bass.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0775u);
    // The demo's fixed names too.
    const std::string demoBass = dir_.file("demo_bass.wav");
    ASSERT_EQ(symlink(program.c_str(), demoBass.c_str()), 0);
    {
        CaptureOutput quiet;
        ASSERT_EQ(TrackloomApp::commands::RunDemo(dir_.path().string()), 0);
    }
    ASSERT_EQ(lstat(demoBass.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    ASSERT_EQ(stat(program.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    EXPECT_EQ(readFile(program), (Bytes{'e', 'l', 'f'}));
}

// A run killed outright leaves its temporaries; the next split into that directory removes
// them, but never a live run's, which it finds locked.
TEST_F(DataSafetyRuns, LeftoversOfDeadRunsAreRemovedByTheNext) {
    const std::string dead = out_ + "/vocals.wav.0123456789ab.partial";
    const std::string live = out_ + "/drums.wav.ba9876543210.partial";
    const std::string foreign = out_ + "/vocals.wav.notours.partial";
    for (const std::string& f : {dead, live, foreign}) writeFile(f, {'x'});
    const int held = open(live.c_str(), O_RDWR);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    // Old enough not to be a run's that has only just made it.
    const timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 60, 0}};
    for (const std::string& f : {dead, live}) utimensat(AT_FDCWD, f.c_str(), old, 0);
    ASSERT_EQ(finish(start({"--split", input_, out_}, "/dev/null", err_)), 0) << errText();
    close(held);
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(live));
    EXPECT_TRUE(std::filesystem::exists(foreign));
}
