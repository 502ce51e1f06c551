// The program as users run it on a DJ mix: fed through a pipe, on inputs far longer than
// memory should hold, and on inputs whose stems a WAV file cannot describe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>

#include "app/commands/split_command.h"
#include "test_support.h"

namespace {

using namespace TrackloomTest;
using Trackloom::io::SampleFormat;
using Trackloom::io::WavWriter;

constexpr const char* kTime = "/usr/bin/time";
// Generous: the whole-buffer path needs over 500 MB for the long input below.
constexpr long kMaxRssKb = 64 * 1024;

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct RunResult {
    int status = -1;  // exit status, or -1 if killed
    long maxRssKb = -1;
    std::string out, err;
};

// Runs the program under /usr/bin/time, which measures it from a small parent of its own:
// a child forked from this (possibly large) test process would inherit our peak RSS.
// `feed`, if given, writes the program's standard input through a pipe.
RunResult runMeasured(const std::vector<std::string>& args, const std::string& scratch,
                      const std::function<bool(int fd)>& feed = nullptr) {
    RunResult result;
    const std::string rssFile = scratch + "/rss.txt", outFile = scratch + "/stdout.txt",
                      errFile = scratch + "/stderr.txt";
    std::vector<std::string> argv = {kTime, "-f", "%M", "-o", rssFile, TRACKLOOM_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int fds[2] = {-1, -1};
    if (feed && pipe(fds) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        if (feed) {
            dup2(fds[0], 0);
            close(fds[0]);
            close(fds[1]);
        }
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        execv(kTime, cargv.data());
        _exit(127);
    }
    if (feed) {
        close(fds[0]);
        // A program that stops reading early must fail the write, not kill the test.
        signal(SIGPIPE, SIG_IGN);
        EXPECT_TRUE(feed(fds[1])) << "the program stopped reading its input";
        close(fds[1]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream rss(readBytes(rssFile));
    for (std::string line; std::getline(rss, line);) {
        // time prefixes a line about a non-zero exit status; the figure is the last line.
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
            result.maxRssKb = std::stol(line);
        }
    }
    result.out = readBytes(outFile);
    result.err = readBytes(errFile);
    return result;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes `frames` frames of 16-bit mix, one encoded stretch over and over: only the
// length matters here, and the test itself never holds the long input.
bool writeLongMix(int fd, int32_t rate, int32_t channels, uint64_t frames, bool unknownSizes) {
    const auto ch = static_cast<size_t>(channels);
    const uint64_t dataBytes = frames * ch * 2;
    if (!writeAll(fd, wavHeader(SampleFormat::S16, rate, channels, dataBytes,
                                {unknownSizes, /*listChunk=*/unknownSizes}))) {
        return false;
    }
    constexpr size_t kStretch = 3 * 65536;
    const std::vector<float> mix = synthesize(rate, channels, kStretch);
    const std::string encoded = encodeSamples(SampleFormat::S16, mix.data(), mix.size());
    for (uint64_t f = 0; f < frames; f += kStretch) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(kStretch, frames - f));
        if (!writeAll(fd, n == kStretch ? encoded : encoded.substr(0, n * ch * 2))) return false;
    }
    return true;
}

class StreamingPipe : public ScratchDir {};

TEST_F(StreamingPipe, PipedInputGivesTheSameStemsAsTheFile) {
    const std::string exe = quote(TRACKLOOM_EXE);
    struct Case {
        SampleFormat format;
        int32_t channels;
    };
    for (const Case c : {Case{SampleFormat::S16, 2}, Case{SampleFormat::F32, 6}}) {
        SCOPED_TRACE(::testing::Message() << c.channels << " channels");
        const std::string tag = std::to_string(c.channels);
        const std::vector<float> mix = synthesize(48000, c.channels, 7 * 4096 + 321);
        const std::string plain = path("plain" + tag + ".wav");
        writeWav(plain, c.format, 48000, c.channels, mix);
        // What ffmpeg writes to a pipe: sizes it cannot know left at all ones, and a LIST
        // chunk before the data.
        const std::string unsized = path("unsized" + tag + ".wav");
        writeWav(unsized, c.format, 48000, c.channels, mix, {true, true});

        const std::string fromFile = makeDir("file" + tag);
        ASSERT_EQ(shell(exe + " --split " + quote(plain) + " " + quote(fromFile) + " >/dev/null"),
                  0);

        const std::string piped = makeDir("piped" + tag);
        ASSERT_EQ(shell("cat " + quote(plain) + " | " + exe + " --split /dev/stdin " +
                        quote(piped) + " >/dev/null"),
                  0);
        expectSameStems(piped, fromFile);

        const std::string unsizedPiped = makeDir("unsizedPiped" + tag);
        ASSERT_EQ(shell("cat " + quote(unsized) + " | " + exe + " --split /dev/stdin " +
                        quote(unsizedPiped) + " >/dev/null"),
                  0);
        expectSameStems(unsizedPiped, fromFile);

        // The same header in a file that can seek: the size comes from the file's length.
        const std::string unsizedFile = makeDir("unsizedFile" + tag);
        ASSERT_EQ(
            shell(exe + " --split " + quote(unsized) + " " + quote(unsizedFile) + " >/dev/null"),
            0);
        expectSameStems(unsizedFile, fromFile);
    }
}

class StreamingMemory : public ScratchDir {
  protected:
    static constexpr int32_t kRate = 48000;
    static constexpr int32_t kChannels = 2;
    static constexpr uint64_t kFrames = uint64_t{5} * 60 * kRate;  // five minutes

    void SetUp() override {
        ScratchDir::SetUp();
        ASSERT_EQ(access(kTime, X_OK), 0) << kTime << " is needed to measure peak memory";
    }

    std::string writeLongInput() {
        const std::string input = path("long.wav");
        const int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(writeLongMix(fd, kRate, kChannels, kFrames, false));
        close(fd);
        return input;
    }
};

TEST_F(StreamingMemory, FiveMinuteSplitStaysWithinBoundedMemory) {
    const std::string input = writeLongInput();
    const std::string fromFile = makeDir("file");
    const RunResult file = runMeasured({"--split", input, fromFile}, dir_.string());
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_GT(file.maxRssKb, 0);
    EXPECT_LT(file.maxRssKb, kMaxRssKb);
    const uint64_t dataBytes = kFrames * kChannels * 2;
    for (const char* stem : kStems) {
        const std::string out = fromFile + "/" + stem;
        ASSERT_EQ(fs::file_size(out), 44 + dataBytes) << out;
        std::ifstream in(out, std::ios::binary);
        unsigned char header[44];
        in.read(reinterpret_cast<char*>(header), 44);
        const uint64_t declared =
            header[40] | (header[41] << 8) | (header[42] << 16) | (uint64_t{header[43]} << 24);
        EXPECT_EQ(declared, dataBytes) << out;
    }

    // Through a pipe, with no length in the header: memory must not grow with the input
    // either, and the stems must be the file's.
    const std::string piped = makeDir("piped");
    const RunResult pipe = runMeasured({"--split", "/dev/stdin", piped}, dir_.string(), [](int fd) {
        return writeLongMix(fd, kRate, kChannels, kFrames, true);
    });
    ASSERT_EQ(pipe.status, 0) << pipe.err;
    EXPECT_GT(pipe.maxRssKb, 0);
    EXPECT_LT(pipe.maxRssKb, kMaxRssKb);
    expectSameStems(piped, fromFile);
}

TEST_F(StreamingMemory, FiveMinuteBpmStaysWithinBoundedMemory) {
    const std::string input = writeLongInput();
    const RunResult file = runMeasured({"--bpm", input}, dir_.string());
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_GT(file.maxRssKb, 0);
    EXPECT_LT(file.maxRssKb, kMaxRssKb);
    EXPECT_NE(file.out.find("Estimated BPM: "), std::string::npos) << file.out;
    EXPECT_NE(file.out.find("Estimated Key: "), std::string::npos) << file.out;

    const RunResult pipe = runMeasured({"--bpm", "/dev/stdin"}, dir_.string(), [](int fd) {
        return writeLongMix(fd, kRate, kChannels, kFrames, true);
    });
    ASSERT_EQ(pipe.status, 0) << pipe.err;
    EXPECT_GT(pipe.maxRssKb, 0);
    EXPECT_LT(pipe.maxRssKb, kMaxRssKb);
    EXPECT_EQ(pipe.out, file.out);
}

}  // namespace
