#include <algorithm>
#include <array>
#include <iostream>
#include <vector>

#include "app/commands.h"
#include "dsp/stem_separator.h"
#include "dsp/wav_io.h"

namespace TrackloomApp {
namespace {

// Frames per block: small enough that a block and its four stems stay in cache.
constexpr size_t kBlockFrames = 4096;
// A header may claim 65535 channels; blocks of such frames are cut short so that the five
// buffers stay a few megabytes whatever the input says.
constexpr size_t kMaxBlockSamples = 65536;
constexpr std::array<const char*, 4> kStemNames = {"/vocals.wav", "/drums.wav", "/bass.wav",
                                                   "/other.wav"};

}  // namespace

int RunSplit(const std::string& inputPath, const std::string& outputDir) {
    using namespace Trackloom;
    WavReader reader;
    if (reader.open(inputPath) != WavStatus::Ok) {
        ReportReadFailure(inputPath);
        return 1;
    }
    const WavFormat format = reader.format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames =
        std::max<size_t>(1, std::min(kBlockFrames, kMaxBlockSamples / channels));

    std::vector<float> input(blockFrames * channels);
    std::array<std::vector<float>, 4> stems;
    for (auto& stem : stems) stem.resize(blockFrames * channels);

    // No output is created for an input that holds no audio.
    size_t frames = reader.readFrames(input.data(), blockFrames);
    if (frames == 0) {
        ReportReadFailure(inputPath);
        return 1;
    }

    // Outputs go to temporary files and replace their targets only after the whole input
    // has been read, so splitting into the input's own directory is safe.
    std::array<std::string, 4> paths;
    std::array<WavWriter, 4> writers;
    std::array<bool, 4> ok{};
    const bool fits = reader.frameCount() == WavReader::kUnknownFrameCount ||
                      reader.frameCount() <= WavWriter::kMaxSamples / channels;
    for (size_t k = 0; k < 4; ++k) {
        paths[k] = outputDir + kStemNames[k];
        ok[k] =
            fits && writers[k].open(paths[k], format.sampleRate, format.channels) == WavStatus::Ok;
    }

    StemSeparator separator(format.sampleRate, format.channels);
    while (frames > 0) {
        separator.process(input.data(), frames, stems[0].data(), stems[1].data(), stems[2].data(),
                          stems[3].data());
        for (size_t k = 0; k < 4; ++k) {
            if (ok[k]) ok[k] = writers[k].writeFrames(stems[k].data(), frames);
        }
        frames = reader.readFrames(input.data(), blockFrames);
    }

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
