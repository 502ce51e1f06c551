// Where the pieces of the information box go on a character screen of a given size. Kept
// apart from drawing, which only turns a layout into the terminal's escape sequences.
#pragma once

#include <string>
#include <vector>

namespace TrackloomGUI {

struct AboutBoxLayout {
    // False when the screen is too small for any box: the message is then shown as plain
    // lines instead.
    bool fits = false;
    int top = 1;          // screen row of the frame's top edge, from 1
    int left = 1;         // screen column of the frame's left edge, from 1
    int inner = 0;        // columns between the frame's two sides
    int height = 0;       // rows, frame included
    std::string caption;  // the title bar's text, trimmed to fit
    // The message wrapped at spaces to fit beside the icon; a word too long for a line is
    // cut. Each is at most kTextIndent + kTextMargin columns narrower than `inner`.
    std::vector<std::string> text;
    // Blank rows kept, in the order they are given up when rows run short: between the
    // text and the button, above the text, below the button.
    bool blankBelowText = false;
    bool blankAboveText = false;
    bool blankBelowButton = false;
};

// Columns before the text inside the frame: a margin, the three-column icon and a gap; and
// after it.
constexpr int kTextIndent = 7;
constexpr int kTextMargin = 2;
constexpr char kOkButton[] = "[ OK ]";

// Lays the box out centred on a screen of `rows` x `cols` characters. `message` holds
// lines separated by '\n'; all text is taken to be one column per byte.
AboutBoxLayout LayoutAboutBox(int rows, int cols, const std::string& caption,
                              const std::string& message);

// `message` as lines no wider than `cols` columns, for a screen too small for the box.
std::vector<std::string> PlainAboutLines(int cols, const std::string& message);

}  // namespace TrackloomGUI
