// Windows: starting the program with no command (or --gui) puts up the information box,
// which stays until dismissed with Enter; the program then ends with status 0.
// The box needs a desktop; under Wine that means an X display (make windows-test
// provides one with xvfb-run).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr char kCaption[] = "Trackloom AI";
constexpr char kMessage[] =
    "Trackloom AI - Commercial Edition\nLocal Offline Audio Stem Separator & Harmonic DSP";

// Only guards against a hung child; nothing here depends on how long anything takes.
constexpr DWORD kGuardMs = 20000;
constexpr DWORD kPollMs = 50;

bool HaveDesktop() {
    HWND probe =
        CreateWindowExA(0, "STATIC", "probe", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    if (probe == nullptr) return false;
    DestroyWindow(probe);
    return true;
}

std::string ClassOf(HWND h) {
    char name[64] = {};
    GetClassNameA(h, name, sizeof name);
    return name;
}

// WM_GETTEXT rather than GetWindowText: the latter does not ask windows of other processes.
std::string TextOf(HWND h) {
    char text[512] = {};
    SendMessageA(h, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

// What the screen shows in a rectangle, or `icon` drawn on `background` in one of that size.
// Icon handles do not cross processes, so the box's icon is checked by what it looks like.
std::vector<DWORD> Pixels(const RECT& r, HICON icon = nullptr, COLORREF background = 0) {
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(memory, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, dib);
    if (icon == nullptr) {
        BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    } else {
        HBRUSH brush = CreateSolidBrush(background);
        RECT all{0, 0, w, h};
        FillRect(memory, &all, brush);
        DeleteObject(brush);
        DrawIconEx(memory, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
    }
    GdiFlush();
    std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                              static_cast<const DWORD*>(bits) + w * h);
    SelectObject(memory, old);
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Whether `control` shows `icon`, comparing against the icon drawn on the control's own
// background (taken from its top-left pixel, which the usual icons leave transparent).
bool ShowsIcon(HWND control, LPCSTR icon) {
    UpdateWindow(control);
    RECT r{};
    GetWindowRect(control, &r);
    r.right = r.left + GetSystemMetrics(SM_CXICON);
    r.bottom = r.top + GetSystemMetrics(SM_CYICON);
    const std::vector<DWORD> shown = Pixels(r);
    if (shown.empty()) return false;
    const COLORREF background =
        RGB((shown[0] >> 16) & 0xff, (shown[0] >> 8) & 0xff, shown[0] & 0xff);
    return Pixels(r, LoadIconA(nullptr, icon), background) == shown;
}

// The box becomes visible before its owner has painted it: give the painting time, so a
// slow machine fails only when the icon is wrong.
bool ComesToShowIcon(HWND control, LPCSTR icon) {
    for (DWORD waited = 0; waited < kGuardMs; waited += kPollMs) {
        if (ShowsIcon(control, icon)) return true;
        Sleep(kPollMs);
    }
    return false;
}

BOOL CALLBACK CollectChild(HWND h, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(h);
    return TRUE;
}

struct Process {
    PROCESS_INFORMATION info{};
    ~Process() {
        if (info.hProcess == nullptr) return;
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info.hProcess, 99);
            WaitForSingleObject(info.hProcess, kGuardMs);
        }
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
};

// The box of `process`, once it shows; null if the process ends first or never shows one.
HWND FindBox(const Process& process) {
    for (DWORD waited = 0; waited < kGuardMs; waited += kPollMs) {
        for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", kCaption); w != nullptr;
             w = FindWindowExA(nullptr, w, "#32770", kCaption)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == process.info.dwProcessId && IsWindowVisible(w)) return w;
        }
        if (WaitForSingleObject(process.info.hProcess, kPollMs) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

void ExpectBoxUntilEnter(const std::string& arguments) {
    if (!HaveDesktop()) GTEST_SKIP() << "no desktop to show the box on (under Wine: no X display)";

    std::string command = std::string("\"") + TRACKLOOM_EXE + "\"" + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    Process process;
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process.info))
        << command << ": error " << GetLastError();

    HWND box = FindBox(process);
    ASSERT_NE(box, nullptr) << "no box titled \"" << kCaption << "\" appeared";

    std::vector<HWND> children;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
    std::vector<HWND> buttons;
    bool messageShown = false;
    HWND icon = nullptr;
    std::string seen;  // for the failure message
    for (HWND child : children) {
        const std::string cls = ClassOf(child);
        seen += cls + " id " + std::to_string(GetDlgCtrlID(child)) + " style " +
                std::to_string(GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) + " \"" +
                TextOf(child) + "\"; ";
        if (cls == "Button" && IsWindowVisible(child)) buttons.push_back(child);
        if (cls != "Static") continue;
        if (TextOf(child) == kMessage) messageShown = true;
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child))
            icon = child;
    }
    EXPECT_TRUE(messageShown) << "the two lines of text";
    ASSERT_NE(icon, nullptr) << seen;
    EXPECT_TRUE(ComesToShowIcon(icon, reinterpret_cast<LPCSTR>(IDI_INFORMATION)))
        << "the information sign";
    EXPECT_FALSE(ShowsIcon(icon, reinterpret_cast<LPCSTR>(IDI_WARNING))) << "icons not told apart";
    ASSERT_EQ(buttons.size(), 1u) << "a single button";
    EXPECT_EQ(TextOf(buttons[0]), "OK");
    EXPECT_EQ(GetDlgCtrlID(buttons[0]), IDOK);

    EXPECT_EQ(WaitForSingleObject(process.info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "ended while its box was up";

    // Enter, as the keyboard would deliver it to the box.
    PostMessageA(box, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageA(box, WM_KEYUP, VK_RETURN, 0xC0000001);
    ASSERT_EQ(WaitForSingleObject(process.info.hProcess, kGuardMs), WAIT_OBJECT_0)
        << "Enter did not close the box";
    DWORD status = 1;
    ASSERT_TRUE(GetExitCodeProcess(process.info.hProcess, &status));
    EXPECT_EQ(status, 0u);
}

TEST(AboutBoxWindow, NoArgumentsShowsBoxUntilEnter) {
    ExpectBoxUntilEnter("");
}

TEST(AboutBoxWindow, GuiWithExtraArgumentShowsBoxUntilEnter) {
    ExpectBoxUntilEnter(" --gui anything");
}

}  // namespace
