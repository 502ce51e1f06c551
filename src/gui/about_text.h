// The box's wording, shared by every platform's rendering of it.
#pragma once

namespace TrackloomGUI {

inline constexpr char kAboutCaption[] = "Trackloom AI";
inline constexpr char kAboutMessage[] =
    "Trackloom AI - Commercial Edition\n"
    "Local Offline Audio Stem Separator & Harmonic DSP";

// Implemented once per platform; the build picks the file.
bool ShowAboutBox(int argc, char** argv);

}  // namespace TrackloomGUI
