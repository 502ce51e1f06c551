#include "gui/about_box_layout.h"

#include <algorithm>

namespace TrackloomGUI {
namespace {

// Below this many columns for the text, words would be cut into pieces too small to read.
constexpr int kMinTextWidth = 12;
// Top edge, title bar, the rule under it, the button and the bottom edge.
constexpr int kFixedRows = 5;

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\n') {
            lines.emplace_back();
        } else {
            lines.back() += c;
        }
    }
    return lines;
}

// Greedy wrapping at spaces; a word longer than a whole line is cut at the line's end.
std::vector<std::string> Wrap(const std::string& line, size_t width) {
    std::vector<std::string> out;
    std::string current;
    size_t at = 0;
    while (at < line.size()) {
        const size_t space = line.find(' ', at);
        std::string word =
            line.substr(at, space == std::string::npos ? std::string::npos : space - at);
        at = space == std::string::npos ? line.size() : space + 1;
        if (word.empty()) continue;
        while (word.size() > width) {
            if (!current.empty()) out.push_back(std::move(current));
            current.clear();
            out.push_back(word.substr(0, width));
            word.erase(0, width);
        }
        if (current.empty()) {
            current = word;
        } else if (current.size() + 1 + word.size() <= width) {
            current += " " + word;
        } else {
            out.push_back(std::move(current));
            current = word;
        }
    }
    if (!current.empty() || out.empty()) out.push_back(current);
    return out;
}

}  // namespace

AboutBoxLayout LayoutAboutBox(int rows, int cols, const std::string& caption,
                              const std::string& message) {
    AboutBoxLayout layout;
    const std::vector<std::string> lines = SplitLines(message);
    size_t longest = 0;
    for (const std::string& line : lines) longest = std::max(longest, line.size());
    const int natural = std::max(kTextIndent + static_cast<int>(longest) + kTextMargin,
                                 static_cast<int>(caption.size()) + 4);
    layout.inner = std::min(natural, cols - 2);
    const int textWidth = layout.inner - kTextIndent - kTextMargin;
    if (textWidth < kMinTextWidth) return layout;

    for (const std::string& line : lines) {
        for (std::string& piece : Wrap(line, static_cast<size_t>(textWidth))) {
            layout.text.push_back(std::move(piece));
        }
    }
    int spare = rows - kFixedRows - static_cast<int>(layout.text.size());
    if (spare < 0) {
        layout.text.clear();
        return layout;
    }
    layout.blankBelowText = spare-- > 0;
    layout.blankAboveText = spare-- > 0;
    layout.blankBelowButton = spare-- > 0;
    layout.height = kFixedRows + static_cast<int>(layout.text.size()) + layout.blankBelowText +
                    layout.blankAboveText + layout.blankBelowButton;
    layout.caption = (" " + caption).substr(0, static_cast<size_t>(layout.inner));
    layout.top = (rows - layout.height) / 2 + 1;
    layout.left = (cols - (layout.inner + 2)) / 2 + 1;
    layout.fits = true;
    return layout;
}

std::vector<std::string> PlainAboutLines(int cols, const std::string& message) {
    std::vector<std::string> out;
    const auto width = static_cast<size_t>(std::max(1, cols));
    for (const std::string& line : SplitLines(message)) {
        for (std::string& piece : Wrap(line, width)) out.push_back(std::move(piece));
    }
    return out;
}

}  // namespace TrackloomGUI
