// The split's stems as 24-bit or float WAV, or as FLAC: the engine's float stems, each
// handed to a writer that quantises them itself.
#include <algorithm>
#include <array>
#include <ostream>
#include <vector>

#include "app/command_checks.h"
#include "app/commands.h"
#include "app/failure_reasons.h"
#include "app/progress_line.h"
#include "app/stem_set_files.h"
#include "dsp/stem_engine.h"

namespace TrackloomApp {

bool WriteStemsInFormat(const std::string& inputPath, const std::string& outputDir,
                        std::unique_ptr<Trackloom::AudioReader>& reader, std::vector<float>& input,
                        size_t frames, const std::array<std::string, 4>& paths,
                        const Trackloom::OutputFormat& outputFormat, Trackloom::StemEngine& engine,
                        const std::function<void(const float*, size_t)>& listen, std::ostream& err,
                        std::string& reasons) {
    using namespace Trackloom;
    const WavFormat format = reader->format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader->blockFrames();

    // A WAV header counts its data in 32 bits; the margin is for the chunks around it.
    constexpr uint64_t kWavDataLimit = UINT32_MAX - 4096;
    if (outputFormat.kind == OutputFormat::Kind::Wav &&
        reader->frameCount() != AudioReader::kUnknownFrameCount &&
        reader->frameCount() > kWavDataLimit / outputFormat.bytesPerSample() / channels) {
        reasons = ReportWriteFailures(err, {paths.begin(), paths.end()},
                                      WriteFailureReason(WavStatus::TooLarge, {}));
        return false;
    }
    // As for 16-bit WAV: temporaries removed on an interruption, the four renamed together.
    InterruptCleanup interruptCleanup;
    std::array<SndfileWriter, 4> writers;
    std::array<bool, 4> ok{};
    OpenStemSet(interruptCleanup, writers, ok, [&](SndfileWriter& w, size_t k) {
        return w.open(paths[k], outputFormat, format.sampleRate, format.channels) == WavStatus::Ok;
    });
    const std::function<void()> closeAll = [&] {
        for (SndfileWriter& writer : writers) writer.abandon();
        reader.reset();
    };

    // Room for a block of each stem, or for what the engine still holds at the end.
    std::array<std::vector<float>, 4> stems;
    for (auto& stem : stems) {
        stem.resize(std::max(blockFrames, engine.maxFinishFrames()) * channels);
    }
    const std::array<float*, 4> out = {stems[0].data(), stems[1].data(), stems[2].data(),
                                       stems[3].data()};
    auto write = [&](size_t written) {
        for (size_t k = 0; k < 4; ++k) {
            if (ok[k]) ok[k] = writers[k].writeFrames(stems[k].data(), written);
        }
    };
    ProgressLine progress(reader->frameCount(), format.sampleRate);
    auto anyWritable = [&ok] { return ok[0] || ok[1] || ok[2] || ok[3]; };
    uint64_t taken = 0;
    while (frames > 0 && anyWritable()) {
        interruptCleanup.closeAndEndIfInterrupted(closeAll);
        if (listen) listen(input.data(), frames);
        write(engine.process(input.data(), frames, out));
        taken += frames;
        progress.update(taken);
        frames = reader->readFrames(input.data(), blockFrames);
    }
    if (anyWritable()) write(engine.finish(out));
    progress.clear();
    interruptCleanup.closeAndEndIfInterrupted(closeAll);
    WarnIfInputDisagreesWithHeader(err, inputPath, *reader);
    // The input may be one of the targets; it must be closed before being replaced.
    reader.reset();

    const bool allWritten = FinishStemSet(interruptCleanup, outputDir, writers, ok, closeAll);
    for (size_t k = 0; k < 4; ++k) {
        if (ok[k]) continue;
        ReportWriteFailure(err, paths[k]);
        reasons += reasons.empty() ? "" : "; ";
        reasons += paths[k] + ": the file could not be written";
    }
    return allWritten;
}

}  // namespace TrackloomApp
