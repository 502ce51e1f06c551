// The program as the shell meets it: installed into a prefix, and run by GNU parallel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "test_support.h"

using namespace TrackloomTest;

namespace {

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

// cmake --install, which make install runs, puts the program in PREFIX/bin, where it runs.
TEST(ShellUse, InstallPutsTheProgramInThePrefixesBin) {
    TempDir prefix;
    // The program is built at the top of its build tree.
    const std::string build = fs::path(TRACKLOOM_EXE).parent_path().string();
    const std::string install = "cmake --install " + Quoted(build) + " --prefix " +
                                Quoted(prefix.path().string()) + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    const std::string installed = prefix.file("bin/trackloom");
    ASSERT_TRUE(fs::is_regular_file(installed));
    EXPECT_EQ(commandOutput(Quoted(installed) + " --version").rfind("trackloom ", 0), 0u);
}

// Spread over processes (over machines, with --sshlogin) by GNU parallel: the same JSON
// objects as one run working on the inputs itself.
TEST(ShellUse, GnuParallelGivesTheSameObjectsAsJobs) {
    if (commandOutput("parallel --version 2>/dev/null").find("GNU parallel") == std::string::npos) {
        GTEST_SKIP() << "GNU parallel is not installed (apt-get install parallel)";
    }
    TempDir dir;
    const std::string a = dir.file("a.wav");
    const std::string b = dir.file("b.wav");
    writeFile(a, buildS16Wav(makeTestSignal(3 * 44100, 1)));
    writeFile(b, buildS16Wav(makeTestSignal(2 * 44100 * 3, 2), 2));
    const std::string exe = Quoted(TRACKLOOM_EXE);
    const std::string spread =
        commandOutput("parallel --will-cite -j 2 " + exe + " --bpm --json {} ::: " + Quoted(a) +
                      " " + Quoted(b) + " 2>/dev/null");
    const std::string together =
        commandOutput(exe + " --bpm -j 2 --json " + Quoted(a) + " " + Quoted(b) + " 2>/dev/null");
    ASSERT_EQ(SortedLines(together).size(), 2u) << together;
    // parallel prints each job's output as it ends; -k would keep the inputs' order.
    EXPECT_EQ(SortedLines(spread), SortedLines(together));
}
