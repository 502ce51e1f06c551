#include "app/commands/demo_command.h"

#include <iostream>

#include "app/reports/reports.h"
#include "dsp/audio_dsp.h"

namespace TrackloomApp {

int RunDemo(const std::string& outputDir) {
    using namespace Trackloom;
    using namespace Trackloom::io;
    using namespace Trackloom::analysis;
    bool allWritten = true;
    auto save = [&](const char* name, const AudioBuffer& buffer) {
        const std::string path = outputDir + name;
        if (!AudioDSP::SaveWav(path, buffer)) {
            ReportWriteFailure(std::cerr, path);
            allWritten = false;
        }
    };

    std::cout << "Generating procedural test track (3.0s, 44.1kHz)...\n";
    const AudioBuffer track = AudioDSP::CreateDemoSong(3.0f, 44100);
    save("/demo_mix.wav", track);

    std::cout << "Running spectral HPSS stem separation...\n";
    const StemSet stems = AudioDSP::SeparateStems(track);
    save("/demo_vocals.wav", stems.vocals);
    save("/demo_drums.wav", stems.drums);
    save("/demo_bass.wav", stems.bass);
    save("/demo_other.wav", stems.other);

    if (allWritten) std::cout << "SUCCESS! Exported 4 stems to " << outputDir << "/demo_*.wav\n";
    PrintEstimates(std::cout, stems.bpm, stems.key);
    return allWritten ? 0 : 1;
}

}  // namespace TrackloomApp
