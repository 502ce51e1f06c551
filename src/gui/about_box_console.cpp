// Everywhere but Windows: the box is drawn on the terminal instead of in a window.
// It lives on the terminal's alternate screen, so once it is closed the user's
// scrollback is exactly as it was and nothing of the box is left in standard output.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "gui/about_box_layout.h"
#include "gui/about_text.h"

namespace TrackloomGUI {
namespace {

// State the signal handlers need to put the terminal back before the process dies.
struct termios g_savedMode;
volatile sig_atomic_t g_modeSaved = 0;
volatile sig_atomic_t g_resized = 0;
// Whether the box took the alternate screen, which must be left again.
volatile sig_atomic_t g_onOwnScreen = 0;

constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l";
constexpr char kLeaveScreen[] = "\x1b[0m\x1b[2J\x1b[?25h\x1b[?1049l";

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof(kHandledSignals) / sizeof(kHandledSignals[0]);

void WriteAll(const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void RestoreTerminal() {
    if (g_onOwnScreen) WriteAll(kLeaveScreen, sizeof(kLeaveScreen) - 1);
    if (g_modeSaved) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
}

// Only async-signal-safe calls here: write, tcsetattr, sigaction, raise.
extern "C" void OnFatalSignal(int sig) {
    RestoreTerminal();
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);  // delivered with the default action once this handler returns
}

extern "C" void OnResize(int) {
    g_resized = 1;
}

bool LocaleIsUtf8() {
    // POSIX precedence: the first of these that is set decides the character set.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string v(value);
        std::transform(v.begin(), v.end(), v.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        return v.find("utf-8") != std::string::npos || v.find("utf8") != std::string::npos;
    }
    return false;
}

struct Glyphs {
    const char* horizontal;
    const char* vertical;
    const char* topLeft;
    const char* topRight;
    const char* bottomLeft;
    const char* bottomRight;
    const char* teeLeft;
    const char* teeRight;
};

constexpr Glyphs kUnicodeGlyphs{"\u2500", "\u2502", "\u250c", "\u2510",
                                "\u2514", "\u2518", "\u251c", "\u2524"};
constexpr Glyphs kAsciiGlyphs{"-", "|", "+", "+", "+", "+", "+", "+"};

std::string Repeat(const char* piece, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += piece;
    return s;
}

std::string MoveTo(int row, int col) {
    return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "H";
}

// Draws a laid-out box on a cleared screen. All text is ASCII apart from the frame, so byte
// counts equal column counts for everything but the glyphs.
std::string RenderBox(const AboutBoxLayout& layout, const Glyphs& g) {
    const int inner = layout.inner;
    std::string out = "\x1b[0m\x1b[2J";
    int row = layout.top;
    auto frameRow = [&](const std::string& content, int visibleWidth) {
        out += MoveTo(row++, layout.left);
        out += g.vertical;
        out += content;
        out += std::string(static_cast<size_t>(std::max(0, inner - visibleWidth)), ' ');
        out += g.vertical;
    };
    auto rule = [&](const char* leftEnd, const char* rightEnd) {
        out += MoveTo(row++, layout.left);
        out += std::string(leftEnd) + Repeat(g.horizontal, inner) + rightEnd;
    };

    rule(g.topLeft, g.topRight);
    // The caption bar, in reverse video like a window's title bar.
    frameRow(
        "\x1b[7m" + layout.caption + std::string(inner - layout.caption.size(), ' ') + "\x1b[0m",
        inner);
    rule(g.teeLeft, g.teeRight);

    if (layout.blankAboveText) frameRow("", 0);
    for (size_t i = 0; i < layout.text.size(); ++i) {
        // The information sign, white on blue, beside the first line.
        std::string content = "  ";
        content += i == 0 ? std::string("\x1b[1;97;44m i \x1b[0m") : std::string(3, ' ');
        content += "  " + layout.text[i];
        frameRow(content, kTextIndent + static_cast<int>(layout.text[i].size()));
    }
    if (layout.blankBelowText) frameRow("", 0);

    // The only button, shown focused since Enter activates it.
    const int buttonWidth = static_cast<int>(sizeof(kOkButton) - 1);
    const int buttonPad = (inner - buttonWidth) / 2;
    frameRow(std::string(static_cast<size_t>(buttonPad), ' ') + "\x1b[7m" + kOkButton + "\x1b[0m",
             buttonPad + buttonWidth);
    if (layout.blankBelowButton) frameRow("", 0);
    rule(g.bottomLeft, g.bottomRight);
    return out;
}

// For a screen that became too small for any box: the message as plain lines from the top
// left corner, wrapped to the screen's width.
std::string RenderPlain(int cols) {
    std::string out = "\x1b[0m\x1b[2J\x1b[H";
    const std::vector<std::string> lines = PlainAboutLines(cols, kAboutMessage);
    for (size_t i = 0; i < lines.size(); ++i) out += (i > 0 ? "\r\n" : "") + lines[i];
    return out;
}

void ScreenSize(int& rows, int& cols) {
    struct winsize ws {};
    rows = 24;
    cols = 80;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
        rows = ws.ws_row;
        cols = ws.ws_col;
    }
}

void Draw(const Glyphs& glyphs) {
    int rows = 0;
    int cols = 0;
    ScreenSize(rows, cols);
    const AboutBoxLayout layout = LayoutAboutBox(rows, cols, kAboutCaption, kAboutMessage);
    const std::string screen = layout.fits ? RenderBox(layout, glyphs) : RenderPlain(cols);
    WriteAll(screen.data(), screen.size());
}

bool FitsAnyBox() {
    int rows = 0;
    int cols = 0;
    ScreenSize(rows, cols);
    return LayoutAboutBox(rows, cols, kAboutCaption, kAboutMessage).fits;
}

// What one read from the keyboard gave. Enter, q and Esc close the box. Esc also starts
// the sequences that arrow and function keys send, whose bytes arrive together; an Esc
// with nothing behind it within a moment is the key itself.
enum class Key { Close, Other, Resized, End };

Key ReadKey() {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) return Key::Resized;
    // End of input or a read error would otherwise leave the box up for good.
    if (n <= 0) return Key::End;
    if (c == '\n' || c == '\r' || c == 'q' || c == 'Q') return Key::Close;
    if (c != '\x1b') return Key::Other;
    struct pollfd more {
        STDIN_FILENO, POLLIN, 0
    };
    constexpr int kEscapeWaitMs = 50;  // a sequence's bytes come together, well within this
    if (poll(&more, 1, kEscapeWaitMs) <= 0) return Key::Close;
    char rest[32];
    if (read(STDIN_FILENO, rest, sizeof rest) < 0 && errno == EINTR) return Key::Resized;
    return Key::Other;
}

}  // namespace

bool ShowAboutBox(int /*argc*/, char** /*argv*/) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return false;
    // A terminal that cannot move the cursor could neither place nor remove the box.
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;

    // Anything already buffered must reach the terminal before the screen is switched.
    std::cout.flush();
    std::fflush(stdout);

    // Keys are read one at a time and not echoed, so stray typing cannot scribble over the box.
    // TCSANOW rather than TCSAFLUSH: an Enter typed ahead still closes the box.
    g_modeSaved = 0;
    if (tcgetattr(STDIN_FILENO, &g_savedMode) == 0) {
        g_modeSaved = 1;
        struct termios raw = g_savedMode;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }

    struct sigaction previous[kSignalCount];
    struct sigaction fatal {};
    fatal.sa_handler = OnFatalSignal;
    sigemptyset(&fatal.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kHandledSignals[i], &fatal, &previous[i]);

    // No SA_RESTART: a resize interrupts the read below so the box can be re-centred.
    struct sigaction previousResize {};
    struct sigaction resize {};
    resize.sa_handler = OnResize;
    sigemptyset(&resize.sa_mask);
    g_resized = 0;
    sigaction(SIGWINCH, &resize, &previousResize);

    // Too small for any box: the two lines as they are, on the screen the user was on.
    g_onOwnScreen = FitsAnyBox() ? 1 : 0;
    const Glyphs& glyphs = LocaleIsUtf8() ? kUnicodeGlyphs : kAsciiGlyphs;
    if (g_onOwnScreen) {
        WriteAll(kEnterScreen, sizeof(kEnterScreen) - 1);
        Draw(glyphs);
    } else {
        const std::string plain = std::string(kAboutMessage) + "\n";
        WriteAll(plain.data(), plain.size());
    }

    for (;;) {
        const Key key = ReadKey();
        if (key == Key::Close || key == Key::End) break;
        if (key == Key::Resized && g_resized) {
            g_resized = 0;
            if (g_onOwnScreen) Draw(glyphs);
        }
    }

    RestoreTerminal();
    g_modeSaved = 0;
    g_onOwnScreen = 0;
    sigaction(SIGWINCH, &previousResize, nullptr);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kHandledSignals[i], &previous[i], nullptr);
    return true;
}

}  // namespace TrackloomGUI
