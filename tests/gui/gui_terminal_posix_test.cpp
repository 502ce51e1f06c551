// Starting the program with no command (or --gui): the box on a terminal, the usage text
// otherwise. The program runs as a child on a pseudo-terminal, as a user would see it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr char kLine1[] = "Trackloom AI - Commercial Edition";
constexpr char kLine2[] = "Local Offline Audio Stem Separator & Harmonic DSP";
constexpr char kEnterAltScreen[] = "\x1b[?1049h";
constexpr char kLeaveAltScreen[] = "\x1b[?1049l";

// Only a guard against a hung child; no test depends on how long anything takes.
constexpr int kGuardMs = 20000;

enum class Redirect { None, StdinFromPipe, StdoutToPipe };

struct Child {
    pid_t pid = -1;
    int master = -1;  // the terminal's other end
    int pipeFd = -1;  // our end of the redirected stream, if any
    std::string screen;

    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0) close(master);
        if (pipeFd >= 0) close(pipeFd);
    }
};

std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(TRACKLOOM_EXE));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Starts the program on a fresh terminal, 80x24 unless told. `locale` and `term` go into
// its environment.
void Start(Child& child, const std::vector<std::string>& args, Redirect redirect = Redirect::None,
           const char* locale = "C.UTF-8", const char* term = "xterm", int rows = 24,
           int cols = 80) {
    int fds[2] = {-1, -1};
    if (redirect != Redirect::None) {
        ASSERT_EQ(pipe(fds), 0);
    }
    std::vector<char*> argv = Argv(args);
    struct winsize ws {};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    child.pid = forkpty(&child.master, nullptr, nullptr, &ws);
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) {
        setenv("TERM", term, 1);
        setenv("LANG", locale, 1);
        unsetenv("LC_ALL");
        unsetenv("LC_CTYPE");
        if (redirect == Redirect::StdinFromPipe) dup2(fds[0], STDIN_FILENO);
        if (redirect == Redirect::StdoutToPipe) dup2(fds[1], STDOUT_FILENO);
        if (fds[0] >= 0) close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (redirect == Redirect::StdinFromPipe) {
        close(fds[0]);
        child.pipeFd = fds[1];
    } else if (redirect == Redirect::StdoutToPipe) {
        close(fds[1]);
        child.pipeFd = fds[0];
    }
}

// Appends what `fd` yields to `out` until `needle` shows up, the stream ends, or `waitMs`
// passes without news. Returns whether the stream is still open.
bool ReadFrom(int fd, std::string& out, const std::string& needle, int waitMs) {
    for (;;) {
        if (!needle.empty() && out.find(needle) != std::string::npos) return true;
        struct pollfd p {
            fd, POLLIN, 0
        };
        int ready = poll(&p, 1, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return true;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // Linux reports EIO once the child's side is closed
        out.append(buf, static_cast<size_t>(n));
    }
}

void ReadToEnd(int fd, std::string& out) {
    while (ReadFrom(fd, out, "", kGuardMs)) {
    }
}

int Wait(Child& child) {
    int status = 0;
    EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
    child.pid = -1;
    return status;
}

// The usage text, as the same executable prints it for --help through plain pipes.
std::string HelpText() {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    std::vector<std::string> args{"--help"};
    std::vector<char*> argv = Argv(args);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    ReadToEnd(out[0], text);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return text;
}

std::string WithoutCarriageReturns(std::string s) {
    std::string r;
    for (char c : s)
        if (c != '\r') r += c;
    return r;
}

size_t Count(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

bool ExitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Shows the box, checks that it waits, then closes it with Enter.
void ExpectBoxUntilEnter(const std::vector<std::string>& args) {
    Child child;
    Start(child, args);
    ASSERT_TRUE(ReadFrom(child.master, child.screen, "[ OK ]", kGuardMs)) << child.screen;
    const std::string box = child.screen;
    ASSERT_NE(box.find(kEnterAltScreen), std::string::npos) << box;
    EXPECT_GE(Count(box, "Trackloom AI"), 2u) << "the caption besides the first line";
    EXPECT_NE(box.find(kLine1), std::string::npos) << box;
    EXPECT_NE(box.find(kLine2), std::string::npos) << box;
    EXPECT_NE(box.find(" i "), std::string::npos) << "information sign";
    EXPECT_EQ(Count(box, "[ OK ]"), 1u) << "a single button";

    // Other keys leave it up, an arrow key's sequence, which starts with Esc, among them.
    ASSERT_EQ(write(child.master, "x \x1b[A", 5), 5);
    EXPECT_TRUE(ReadFrom(child.master, child.screen, kLeaveAltScreen, 300));
    EXPECT_EQ(child.screen.find(kLeaveAltScreen), std::string::npos) << "closed without Enter";
    EXPECT_EQ(waitpid(child.pid, nullptr, WNOHANG), 0) << "did not wait for Enter";

    ASSERT_EQ(write(child.master, "\r", 1), 1);
    ReadToEnd(child.master, child.screen);
    struct termios mode {};
    ASSERT_EQ(tcgetattr(child.master, &mode), 0);
    EXPECT_TRUE(ExitedWith(Wait(child), 0));

    const size_t leave = child.screen.rfind(kLeaveAltScreen);
    ASSERT_NE(leave, std::string::npos) << "the box was never taken down";
    EXPECT_EQ(child.screen.substr(leave + std::strlen(kLeaveAltScreen)), "")
        << "output left behind the box (the usage text?)";
    EXPECT_TRUE((mode.c_lflag & ICANON) && (mode.c_lflag & ECHO)) << "terminal mode not restored";
}

TEST(AboutBoxOnTerminal, NoArgumentsShowsBoxUntilEnter) {
    ExpectBoxUntilEnter({});
}

TEST(AboutBoxOnTerminal, GuiWithExtraArgumentShowsBoxUntilEnter) {
    ExpectBoxUntilEnter({"--gui", "anything"});
}

// Terminals that cannot take UTF-8 get a frame of plain ASCII.
TEST(AboutBoxOnTerminal, AsciiFrameOutsideUtf8Locales) {
    Child child;
    Start(child, {}, Redirect::None, "C");
    ASSERT_TRUE(ReadFrom(child.master, child.screen, "[ OK ]", kGuardMs));
    ASSERT_EQ(write(child.master, "\r", 1), 1);
    ReadToEnd(child.master, child.screen);
    EXPECT_TRUE(ExitedWith(Wait(child), 0));
    for (unsigned char c : child.screen) ASSERT_LT(c, 0x80) << child.screen;
    EXPECT_NE(child.screen.find(kLine2), std::string::npos);
}

// Interrupting the box must not leave the user's terminal on the alternate screen
// with echo off.
TEST(AboutBoxOnTerminal, InterruptRestoresTerminal) {
    Child child;
    Start(child, {});
    ASSERT_TRUE(ReadFrom(child.master, child.screen, "[ OK ]", kGuardMs));
    const char interrupt = 3;  // Ctrl-C
    ASSERT_EQ(write(child.master, &interrupt, 1), 1);
    ReadToEnd(child.master, child.screen);
    struct termios mode {};
    ASSERT_EQ(tcgetattr(child.master, &mode), 0);
    const int status = Wait(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_NE(child.screen.find(kLeaveAltScreen), std::string::npos);
    EXPECT_TRUE((mode.c_lflag & ICANON) && (mode.c_lflag & ECHO));
}

// Scripts and CI: the usage text instead, and success.
TEST(AboutBoxWithoutTerminal, PipesGiveUsageText) {
    const std::string help = HelpText();
    ASSERT_NE(help.find("Usage:"), std::string::npos) << help;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"--gui", "anything"}}) {
        int out[2];
        int in[2];
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(pipe(in), 0);
        std::vector<char*> argv = Argv(args);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        std::string text;
        ReadToEnd(out[0], text);
        close(out[0]);
        close(in[1]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(ExitedWith(status, 0)) << args.size() << " arguments";
        EXPECT_EQ(text, help) << args.size() << " arguments";
    }
}

TEST(AboutBoxWithoutTerminal, OutputToPipeGivesUsageText) {
    const std::string help = HelpText();
    Child child;
    Start(child, {}, Redirect::StdoutToPipe);
    std::string text;
    ReadToEnd(child.pipeFd, text);
    ReadToEnd(child.master, child.screen);
    EXPECT_TRUE(ExitedWith(Wait(child), 0));
    EXPECT_EQ(text, help);
    EXPECT_EQ(child.screen, "") << "drew on the terminal anyway";
}

TEST(AboutBoxWithoutTerminal, InputFromPipeGivesUsageText) {
    const std::string help = HelpText();
    Child child;
    Start(child, {"--gui"}, Redirect::StdinFromPipe);
    close(child.pipeFd);  // nothing to read: a box waiting for Enter would end on EOF, not hang
    child.pipeFd = -1;
    ReadToEnd(child.master, child.screen);
    EXPECT_TRUE(ExitedWith(Wait(child), 0));
    EXPECT_EQ(WithoutCarriageReturns(child.screen), help);
}

TEST(AboutBoxWithoutTerminal, DumbTerminalGivesUsageText) {
    const std::string help = HelpText();
    Child child;
    Start(child, {}, Redirect::None, "C.UTF-8", "dumb");
    ReadToEnd(child.master, child.screen);
    EXPECT_TRUE(ExitedWith(Wait(child), 0));
    EXPECT_EQ(WithoutCarriageReturns(child.screen), help);
}

// Just enough of a terminal to see where the box draws: cursor moves, clearing, text (a
// UTF-8 sequence is one column), carriage return and line feed. Anything drawn past the
// right or bottom edge is noted rather than wrapped.
class FakeScreen {
  public:
    FakeScreen(int rows, int cols)
        : rows_(rows), cols_(cols), cells_(static_cast<size_t>(rows * cols), " ") {}

    void feed(const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes[i]);
            if (c == 0x1b && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                size_t end = i + 2;
                while (end < bytes.size() && !(bytes[end] >= 0x40 && bytes[end] <= 0x7e)) ++end;
                if (end >= bytes.size()) break;
                control(bytes.substr(i + 2, end - i - 2), bytes[end]);
                i = end;
            } else if (c == '\r') {
                col_ = 1;
            } else if (c == '\n') {
                ++row_;
            } else if (c >= 0x20 && (c & 0xC0) != 0x80) {
                size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
                put(bytes.substr(i, length));
                i += length - 1;
            }
        }
    }

    bool drewPastEdges() const { return pastEdges_; }
    // Everything on the screen, row after row, the frame's sides as spaces.
    std::string text() const {
        std::string all;
        for (size_t i = 0; i < cells_.size(); ++i) {
            all += cells_[i] == "\u2502" ? " " : cells_[i];
            if ((i + 1) % static_cast<size_t>(cols_) == 0) all += " ";
        }
        return all;
    }
    // Where `glyph` stands, or (0, 0).
    std::pair<int, int> find(const std::string& glyph) const {
        const auto at = std::find(cells_.begin(), cells_.end(), glyph);
        if (at == cells_.end()) return {0, 0};
        const int i = static_cast<int>(at - cells_.begin());
        return {i / cols_ + 1, i % cols_ + 1};
    }

  private:
    size_t index(int r, int c) const { return static_cast<size_t>((r - 1) * cols_ + (c - 1)); }
    void put(const std::string& glyph) {
        if (row_ < 1 || row_ > rows_ || col_ < 1 || col_ > cols_) {
            pastEdges_ = true;
        } else {
            cells_[index(row_, col_)] = glyph;
        }
        ++col_;
    }
    void control(const std::string& params, char final) {
        if (final == 'H') {
            row_ = std::atoi(params.c_str());
            const size_t semicolon = params.find(';');
            col_ = semicolon == std::string::npos ? 1 : std::atoi(params.c_str() + semicolon + 1);
            row_ = std::max(row_, 1);
            col_ = std::max(col_, 1);
        } else if (final == 'J' && params == "2") {
            std::fill(cells_.begin(), cells_.end(), " ");
        }
    }

    int rows_, cols_;
    int row_ = 1, col_ = 1;
    bool pastEdges_ = false;
    std::vector<std::string> cells_;
};

// Whether `text` holds every word of `line`, in order.
bool HasWordsInOrder(const std::string& text, const std::string& line) {
    std::istringstream words(line);
    size_t at = 0;
    for (std::string word; words >> word && at != std::string::npos;) at = text.find(word, at);
    return at != std::string::npos;
}

// Draws the box on a terminal of the given size, checks what a user would see, and closes
// it with `closeKey`.
void ExpectBoxWithin(int rows, int cols, const char* closeKey, bool linesWhole) {
    SCOPED_TRACE(::testing::Message() << cols << "x" << rows);
    Child child;
    Start(child, {}, Redirect::None, "C.UTF-8", "xterm", rows, cols);
    ASSERT_TRUE(ReadFrom(child.master, child.screen, "[ OK ]", kGuardMs)) << child.screen;
    ReadFrom(child.master, child.screen, "", 200);  // the rest of the frame
    ASSERT_NE(child.screen.find(kEnterAltScreen), std::string::npos);

    FakeScreen screen(rows, cols);
    screen.feed(child.screen);
    EXPECT_FALSE(screen.drewPastEdges());
    // The frame is a closed rectangle on the screen.
    const auto topLeft = screen.find("\u250c");
    const auto topRight = screen.find("\u2510");
    const auto bottomLeft = screen.find("\u2514");
    const auto bottomRight = screen.find("\u2518");
    ASSERT_NE(topLeft.first, 0);
    EXPECT_EQ(topRight.first, topLeft.first);
    EXPECT_EQ(bottomLeft.second, topLeft.second);
    EXPECT_EQ(bottomRight, std::make_pair(bottomLeft.first, topRight.second));
    const std::string words = screen.text();
    EXPECT_TRUE(HasWordsInOrder(words, kLine1)) << words;
    EXPECT_TRUE(HasWordsInOrder(words, kLine2)) << words;
    EXPECT_GE(Count(words, "Trackloom AI"), 2u) << "the caption besides the first line";
    EXPECT_EQ(words.find(kLine2) != std::string::npos, linesWhole) << words;

    ASSERT_EQ(write(child.master, closeKey, std::strlen(closeKey)),
              static_cast<ssize_t>(std::strlen(closeKey)));
    ReadToEnd(child.master, child.screen);
    EXPECT_TRUE(ExitedWith(Wait(child), 0));
    EXPECT_NE(child.screen.find(kLeaveAltScreen), std::string::npos);
}

TEST(AboutBoxOnTerminal, FitsA40By10TerminalAndClosesWithQ) {
    ExpectBoxWithin(10, 40, "q", false);
}

TEST(AboutBoxOnTerminal, FitsA100By30TerminalAndClosesWithEsc) {
    ExpectBoxWithin(30, 100, "\x1b", true);
}

// Too small for any box: the two lines as they are, on the user's own screen, until Enter.
TEST(AboutBoxOnTerminal, TinyTerminalGetsThePlainLines) {
    Child child;
    Start(child, {}, Redirect::None, "C.UTF-8", "xterm", 4, 16);
    ASSERT_TRUE(ReadFrom(child.master, child.screen, "DSP", kGuardMs)) << child.screen;
    ASSERT_EQ(write(child.master, "x\x1b[B", 4), 4);
    EXPECT_TRUE(ReadFrom(child.master, child.screen, "", 300));
    EXPECT_EQ(waitpid(child.pid, nullptr, WNOHANG), 0) << "did not wait for Enter";
    ASSERT_EQ(write(child.master, "\r", 1), 1);
    ReadToEnd(child.master, child.screen);
    EXPECT_TRUE(ExitedWith(Wait(child), 0));
    EXPECT_EQ(WithoutCarriageReturns(child.screen), std::string(kLine1) + "\n" + kLine2 + "\n");
}

}  // namespace
