#include <cstring>
#include <iostream>

#include "app/commands.h"
#include "gui/gui.h"

void PrintUsage(const char* programName) {
    std::cout
        << "========================================================\n"
        << "  Trackloom AI\n"
        << "  Local Offline Audio Stem Separation Workstation\n"
        << "========================================================\n\n"
        << "Usage:\n"
        << "  " << (programName != nullptr ? programName : "trackloom") << " [options]\n\n"
        << "Options:\n"
        << "  --gui                     Launch native graphical user interface (Default if no "
           "args)\n"
        << "  --split <audio.wav> [DIR] Split audio into 4 stems (vocals, drums, bass, other)\n"
        << "  --bpm <audio.wav>         Analyze BPM tempo and musical scale key\n"
        << "  --split ... [--format wav|flac] [--depth 16|24|float]\n"
        << "                            Stems as 16-bit (default), 24-bit or float; FLAC 16/24\n"
        << "  --demo                    Run procedural musical synthesis & separate stems\n\n";
}

int Dispatch(int argc, char** argv) {
    const char* programName = argc > 0 ? argv[0] : nullptr;
    auto is = [&](const char* literal) { return argc > 1 && std::strcmp(argv[1], literal) == 0; };

    if (argc <= 1 || is("--gui")) {
        if (!TrackloomGUI::RunGUI(argc, argv)) PrintUsage(programName);
        return 0;
    }
    if (is("--help") || is("-h")) {
        PrintUsage(programName);
        return 0;
    }
    if (is("--demo")) return TrackloomApp::RunDemo("/tmp");
    if (is("--bpm") && argc > 2) return TrackloomApp::RunBpm(argv[2]);
    if (is("--split") && argc > 2) {
        // The directory is optional; the output options follow it.
        const bool hasDir = argc > 3 && std::strncmp(argv[3], "--", 2) != 0;
        const int optionsAt = hasDir ? 4 : 3;
        Trackloom::OutputFormat format;
        if (!TrackloomApp::ParseOutputFormat(argc - optionsAt, argv + optionsAt, format)) {
            return 1;
        }
        return TrackloomApp::RunSplit(argv[2], hasDir ? argv[3] : "/tmp", format);
    }
    PrintUsage(programName);
    return 1;
}
