// Everywhere but Windows: the box is drawn on the terminal instead of in a window.
// It lives on the terminal's alternate screen, so once it is closed the user's
// scrollback is exactly as it was and nothing of the box is left in standard output.
#include <fcntl.h>
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

#include "gui/about_text.h"

namespace TrackloomGUI {
namespace {

// State the signal handlers need to put the terminal back before the process dies.
struct termios g_savedMode;
volatile sig_atomic_t g_modeSaved = 0;
volatile sig_atomic_t g_resized = 0;

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
    WriteAll(kLeaveScreen, sizeof(kLeaveScreen) - 1);
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

extern "C" void OnResize(int) { g_resized = 1; }

bool LocaleIsUtf8() {
    // POSIX precedence: the first of these that is set decides the character set.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string v(value);
        std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
        return v.find("utf-8") != std::string::npos || v.find("utf8") != std::string::npos;
    }
    return false;
}

std::vector<std::string> SplitLines(const char* text) {
    std::vector<std::string> lines;
    std::string current;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    lines.push_back(current);
    return lines;
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

constexpr Glyphs kUnicodeGlyphs{"\u2500", "\u2502", "\u250c", "\u2510", "\u2514", "\u2518", "\u251c", "\u2524"};
constexpr Glyphs kAsciiGlyphs{"-", "|", "+", "+", "+", "+", "+", "+"};

std::string Repeat(const char* piece, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += piece;
    return s;
}

std::string MoveTo(int row, int col) {
    return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "H";
}

// Draws the box centred on a cleared screen. All text is ASCII apart from the frame,
// so byte counts equal column counts for everything but the glyphs.
std::string RenderBox(int screenRows, int screenCols, const Glyphs& g) {
    const std::vector<std::string> lines = SplitLines(kAboutMessage);
    size_t longest = 0;
    for (const std::string& line : lines) longest = std::max(longest, line.size());

    const std::string okButton = "[ OK ]";
    const int iconWidth = 3;  // " i ", drawn white on blue like the usual information sign
    const int inner = std::max<int>(2 + iconWidth + 2 + static_cast<int>(longest) + 2,
                                    static_cast<int>(std::strlen(kAboutCaption)) + 4);
    const int height = 7 + static_cast<int>(lines.size());
    const int width = inner + 2;
    const int top = std::max(1, (screenRows - height) / 2 + 1);
    const int left = std::max(1, (screenCols - width) / 2 + 1);

    std::string out = "\x1b[0m\x1b[2J";
    int row = top;
    auto frameRow = [&](const std::string& content, int visibleWidth) {
        out += MoveTo(row++, left);
        out += g.vertical;
        out += content;
        out += std::string(static_cast<size_t>(std::max(0, inner - visibleWidth)), ' ');
        out += g.vertical;
    };

    out += MoveTo(row++, left);
    out += std::string(g.topLeft) + Repeat(g.horizontal, inner) + g.topRight;

    // The caption bar, in reverse video like a window's title bar.
    out += MoveTo(row++, left);
    out += g.vertical;
    std::string caption = std::string(" ") + kAboutCaption;
    caption += std::string(static_cast<size_t>(inner) - caption.size(), ' ');
    out += "\x1b[7m" + caption + "\x1b[0m";
    out += g.vertical;

    out += MoveTo(row++, left);
    out += std::string(g.teeLeft) + Repeat(g.horizontal, inner) + g.teeRight;

    frameRow("", 0);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string content = "  ";
        content += (i == 0) ? std::string("\x1b[1;97;44m i \x1b[0m") : std::string(iconWidth, ' ');
        content += "  " + lines[i];
        frameRow(content, 2 + iconWidth + 2 + static_cast<int>(lines[i].size()));
    }
    frameRow("", 0);

    // The only button, shown focused since Enter activates it.
    const int buttonPad = (inner - static_cast<int>(okButton.size())) / 2;
    frameRow(std::string(static_cast<size_t>(buttonPad), ' ') + "\x1b[7m" + okButton + "\x1b[0m",
             buttonPad + static_cast<int>(okButton.size()));

    frameRow("", 0);
    out += MoveTo(row++, left);
    out += std::string(g.bottomLeft) + Repeat(g.horizontal, inner) + g.bottomRight;
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
    const std::string box = RenderBox(rows, cols, glyphs);
    WriteAll(box.data(), box.size());
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

    const Glyphs& glyphs = LocaleIsUtf8() ? kUnicodeGlyphs : kAsciiGlyphs;
    WriteAll(kEnterScreen, sizeof(kEnterScreen) - 1);
    Draw(glyphs);

    for (;;) {
        char c = 0;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            if (g_resized) {
                g_resized = 0;
                Draw(glyphs);
            }
            continue;
        }
        // End of input or a read error would otherwise leave the box up for good.
        if (n <= 0) break;
        if (c == '\n' || c == '\r') break;
    }

    RestoreTerminal();
    g_modeSaved = 0;
    sigaction(SIGWINCH, &previousResize, nullptr);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kHandledSignals[i], &previous[i], nullptr);
    return true;
}

}  // namespace TrackloomGUI
