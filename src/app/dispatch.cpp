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
        << "  --demo                    Run procedural musical synthesis & separate stems\n"
        << "  --engine filter|spectral  Separator for --split, after its operands (Default "
           "filter)\n\n";
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
        // --split IN [DIR] [--engine NAME]; anything after them is ignored.
        const int option = argc > 3 && std::strcmp(argv[3], "--engine") == 0   ? 3
                           : argc > 4 && std::strcmp(argv[4], "--engine") == 0 ? 4
                                                                               : 0;
        Trackloom::EngineKind engine = Trackloom::EngineKind::Filter;
        if (option != 0 &&
            (option + 1 >= argc || !Trackloom::ParseEngineKind(argv[option + 1], engine))) {
            std::cerr << "Error: --engine takes filter or spectral\n";
            return 1;
        }
        return TrackloomApp::RunSplit(argv[2], argc > 3 && option != 3 ? argv[3] : "/tmp", engine);
    }
    PrintUsage(programName);
    return 1;
}
