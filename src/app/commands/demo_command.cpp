#include "app/commands/demo_command.h"

#include <iostream>

#include "app/platform/replacement_file.h"
#include "app/reports/reports.h"
#include "dsp/audio_dsp.h"
#include "dsp/io/wav_writer.h"

namespace TrackloomApp::commands {
namespace {

// Writes `buffer` as a 16-bit WAV file, as SaveWav does, but through a file that is safe in
// a shared directory: the demo's names in /tmp are fixed, and anyone may plant a link there.
bool SaveDemoWav(const std::string& path, const Trackloom::AudioBuffer& buffer) {
    using Trackloom::io::WavWriter;
    const size_t channels = buffer.channels > 0 ? static_cast<size_t>(buffer.channels) : 1;
    platform::ReplacementFile file;
    WavWriter writer;
    return buffer.samples.size() <= WavWriter::kMaxSamples && file.open(path) &&
           writer.open(file, Trackloom::io::OutputFormat::Depth::S16, buffer.sampleRate,
                       buffer.channels,
                       buffer.samples.size() / channels) == Trackloom::io::WriteStatus::Ok &&
           writer.writeSamples(buffer.samples.data(), buffer.samples.size()) && writer.finish() &&
           file.commit();
}

}  // namespace

int RunDemo(const std::string& outputDir) {
    using namespace Trackloom;
    bool allWritten = true;
    auto save = [&](const char* name, const AudioBuffer& buffer) {
        const std::string path = outputDir + name;
        if (!SaveDemoWav(path, buffer)) {
            reports::ReportWriteFailure(std::cerr, path);
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
    reports::PrintEstimates(std::cout, stems.bpm, stems.key);
    return allWritten ? 0 : 1;
}

}  // namespace TrackloomApp::commands
