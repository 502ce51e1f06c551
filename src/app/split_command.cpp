#include <array>
#include <iostream>
#include <memory>
#include <vector>

#include "app/commands.h"
#include "app/progress_line.h"
#include "dsp/stem_engine.h"
#include "dsp/wav_io.h"

namespace TrackloomApp {
namespace {

constexpr std::array<const char*, 4> kStemNames = {"/vocals.wav", "/drums.wav", "/bass.wav",
                                                   "/other.wav"};

}  // namespace

int RunSplit(const std::string& inputPath, const std::string& outputDir,
             Trackloom::EngineKind engineKind) {
    using namespace Trackloom;
    WavReader reader;
    if (reader.open(inputPath) != WavStatus::Ok) {
        ReportReadFailure(inputPath);
        return 1;
    }
    const WavFormat format = reader.format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader.blockFrames();

    std::vector<float> input(blockFrames * channels);

    // No output is created for an input that holds no audio.
    size_t frames = reader.readFrames(input.data(), blockFrames);
    if (frames == 0) {
        ReportReadFailure(inputPath);
        return 1;
    }

    // Outputs go to temporary files and replace their targets only after the whole input
    // has been read, so splitting into the input's own directory is safe.
    std::array<std::string, 4> paths;
    for (size_t k = 0; k < 4; ++k) paths[k] = outputDir + kStemNames[k];
    // Stems a WAV header cannot describe are refused up front: reading an hour of input
    // only to fail at the end would waste the user's time.
    if (reader.frameCount() != WavReader::kUnknownFrameCount &&
        reader.frameCount() > WavWriter::kMaxSamples / channels) {
        for (const auto& path : paths) ReportWriteFailure(path);
        return 1;
    }
    const std::unique_ptr<StemEngine> engine =
        MakeStemEngine(engineKind, format.sampleRate, format.channels);
    if (!engine) {
        std::cerr << "Error: the spectral engine takes 1 to " << kSpectralMaxChannels
                  << " channels; " << inputPath << " has " << format.channels << "\n";
        return 1;
    }
    std::array<WavWriter, 4> writers;
    std::array<bool, 4> ok{};
    for (size_t k = 0; k < 4; ++k) {
        ok[k] = writers[k].open(paths[k], format.sampleRate, format.channels) == WavStatus::Ok;
    }

    ProgressLine progress(reader.frameCount(), format.sampleRate);
    std::vector<unsigned char> spare;
    // Once no stem can be written any more, the rest of the input is not worth reading.
    auto anyWritable = [&ok] { return ok[0] || ok[1] || ok[2] || ok[3]; };
    // The stems are encoded straight into the writers' buffers. A stem that can no longer be
    // written is still separated, into a spare buffer, for the others. An engine that looks
    // ahead writes less than it takes, and the rest once the input has ended.
    auto separate = [&](size_t room, auto&& run) {
        const size_t samples = room * channels;
        std::array<unsigned char*, 4> out{};
        for (size_t k = 0; k < 4; ++k) {
            out[k] = ok[k] ? writers[k].reserveEncoded(samples) : nullptr;
            if (out[k] == nullptr) {
                spare.resize(2 * samples);
                out[k] = spare.data();
                ok[k] = false;
            }
        }
        const size_t written = run(out) * channels;
        for (size_t k = 0; k < 4; ++k) {
            if (ok[k]) ok[k] = writers[k].commitEncoded(written);
        }
    };
    uint64_t taken = 0;
    while (frames > 0 && anyWritable()) {
        separate(frames, [&](const std::array<unsigned char*, 4>& out) {
            return engine->processS16(input.data(), frames, out);
        });
        taken += frames;
        progress.update(taken);
        frames = reader.readFrames(input.data(), blockFrames);
    }
    if (anyWritable()) {
        separate(engine->maxFinishFrames(),
                 [&](const std::array<unsigned char*, 4>& out) { return engine->finishS16(out); });
    }
    progress.clear();
    // The input may be one of the targets; it must be closed before being replaced, which
    // Windows insists on.
    reader = WavReader();

    bool allWritten = true;
    for (size_t k = 0; k < 4; ++k) {
        if (ok[k]) ok[k] = writers[k].finish();
        if (!ok[k]) {
            ReportWriteFailure(paths[k]);
            allWritten = false;
        }
    }
    if (!allWritten) return 1;
    std::cout << "Successfully split " << inputPath << " into 4 stems in " << outputDir << "\n";
    return 0;
}

}  // namespace TrackloomApp
