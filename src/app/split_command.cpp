#include <array>
#include <iostream>
#include <vector>

#include "app/commands.h"
#include "dsp/stem_separator.h"
#include "dsp/wav_io.h"

namespace TrackloomApp {
namespace {

constexpr std::array<const char*, 4> kStemNames = {"/vocals.", "/drums.", "/bass.", "/other."};

}  // namespace

int RunSplit(const std::string& inputPath, const std::string& outputDir,
             const Trackloom::OutputFormat& outputFormat) {
    using namespace Trackloom;
    std::unique_ptr<AudioReader> reader = OpenInput(inputPath, "--split - DIR");
    if (!reader) return 1;
    const WavFormat format = reader->format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader->blockFrames();

    std::vector<float> input(blockFrames * channels);

    // No output is created for an input that holds no audio.
    size_t frames = reader->readFrames(input.data(), blockFrames);
    if (frames == 0) {
        ReportReadFailure(inputPath);
        return 1;
    }

    // Outputs go to temporary files and replace their targets only after the whole input
    // has been read, so splitting into the input's own directory is safe.
    std::array<std::string, 4> paths;
    for (size_t k = 0; k < 4; ++k) paths[k] = outputDir + kStemNames[k] + outputFormat.extension();
    if (!outputFormat.isDefault()) {
        return SplitToFormat(inputPath, outputDir, std::move(reader), input, frames, paths,
                             outputFormat);
    }
    // Stems a WAV header cannot describe are refused up front: reading an hour of input
    // only to fail at the end would waste the user's time.
    if (reader->frameCount() != AudioReader::kUnknownFrameCount &&
        reader->frameCount() > WavWriter::kMaxSamples / channels) {
        for (const auto& path : paths) ReportWriteFailure(path);
        return 1;
    }
    std::array<WavWriter, 4> writers;
    std::array<bool, 4> ok{};
    for (size_t k = 0; k < 4; ++k) {
        ok[k] = writers[k].open(paths[k], format.sampleRate, format.channels) == WavStatus::Ok;
    }

    StemSeparator separator(format.sampleRate, format.channels);
    std::vector<unsigned char> spare;
    // Once no stem can be written any more, the rest of the input is not worth reading.
    auto anyWritable = [&ok] { return ok[0] || ok[1] || ok[2] || ok[3]; };
    while (frames > 0 && anyWritable()) {
        // The stems are encoded straight into the writers' buffers. A stem that can no
        // longer be written is still separated, into a spare buffer, for the others.
        const size_t samples = frames * channels;
        std::array<unsigned char*, 4> out{};
        for (size_t k = 0; k < 4; ++k) {
            out[k] = ok[k] ? writers[k].reserveEncoded(samples) : nullptr;
            if (out[k] == nullptr) {
                spare.resize(2 * samples);
                out[k] = spare.data();
                ok[k] = false;
            }
        }
        separator.processS16(input.data(), frames, out);
        for (size_t k = 0; k < 4; ++k) {
            if (ok[k]) ok[k] = writers[k].commitEncoded(samples);
        }
        frames = reader->readFrames(input.data(), blockFrames);
    }
    // The input may be one of the targets; it must be closed before being replaced, which
    // Windows insists on.
    reader.reset();

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
