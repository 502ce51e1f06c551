// The program on a terminal, run as a child on a pseudo-terminal as a user would see it: the
// split's progress line, for inputs over a minute unless --quiet, and nowhere else; and
// standard input that is the terminal, which is never waited on for audio.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace TrackloomTest;

// Only a guard against a hung child; no test depends on how long anything takes.
constexpr int kGuardMs = 60000;

// Runs `args` on a fresh terminal and returns everything it wrote there, and its status.
std::string RunOnTerminal(std::vector<std::string> args, int& status) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(TRACKLOOM_EXE));
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string out;
    if (pid < 0) return out;
    for (;;) {
        struct pollfd p {
            master, POLLIN, 0
        };
        const int ready = poll(&p, 1, kGuardMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[4096];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // Linux reports EIO once the child's side is closed
        out.append(buf, static_cast<size_t>(n));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(master);
    return out;
}

// A mono file of `seconds` at 8 kHz: noise and a tone, so the separator has work.
std::string WriteInput(const TempDir& dir, const std::string& name, double seconds) {
    const std::string path = dir.file(name);
    writeFile(path, buildS16Wav(makeTestSignal(static_cast<size_t>(seconds * 8000)), 1, 8000));
    return path;
}

}  // namespace

TEST(ProgressLine, ShownOnATerminalForLongInputsOnly) {
    TempDir dir;
    const std::string longInput = WriteInput(dir, "long.wav", 70.0);
    const std::string shortInput = WriteInput(dir, "short.wav", 50.0);
    int status = -1;
    const std::string shown =
        RunOnTerminal({"--split", longInput, dir.path().string(), "--engine", "spectral"}, status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    EXPECT_NE(shown.find("%  elapsed 0:"), std::string::npos) << shown;
    EXPECT_NE(shown.find("remaining 0:"), std::string::npos) << shown;
    // The line is wiped before the closing message, which starts a line of its own.
    EXPECT_NE(shown.find("\r" + std::string(50, ' ') + "\rSuccessfully split"), std::string::npos)
        << shown;
    const std::string silenced = RunOnTerminal(
        {"--split", longInput, dir.path().string(), "--engine", "spectral", "-q"}, status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << silenced;
    EXPECT_EQ(silenced.find('%'), std::string::npos) << silenced;
    EXPECT_NE(silenced.find("Successfully split"), std::string::npos) << silenced;
    for (const char* engine : {"filter", "spectral"}) {
        const std::string quiet =
            RunOnTerminal({"--split", shortInput, dir.path().string(), "--engine", engine}, status);
        EXPECT_EQ(quiet.find('%'), std::string::npos) << engine << ": " << quiet;
    }

    // Standard error to a file, not a terminal: nothing at all there.
    const std::string err = dir.file("err.txt");
    const std::string command = std::string("'") + TRACKLOOM_EXE + "' --split '" + longInput +
                                "' '" + dir.path().string() + "' --engine spectral >/dev/null 2>'" +
                                err + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(readFile(err).empty());
}

// Nothing piped in: refused at once rather than waiting for audio no one will type. The
// guard would end a wait, and the status would then not be 1.
TEST(StandardInputOnATerminal, IsRefusedAtOnce) {
    TempDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"--bpm", "-"},
                                          std::vector<std::string>{"--split", "-", dir.file("out")},
                                          std::vector<std::string>{"--bpm", "--json", "-"}}) {
        int status = -1;
        const std::string shown = RunOnTerminal(args, status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << shown;
        EXPECT_NE(shown.find("Failed to read audio file: -\r\n"
                             "  standard input is a terminal: pipe audio into it\r\n"),
                  std::string::npos)
            << shown;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
    }
}
