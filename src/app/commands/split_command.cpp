#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "app/commands.h"
#include "app/commands/command_checks.h"
#include "app/commands/stem_set_files.h"
#include "app/reports/failure_reasons.h"
#include "app/reports/json_report.h"
#include "app/reports/progress_line.h"
#include "dsp/analysis/analysis.h"
#include "dsp/io/wav_io.h"
#include "dsp/separation/stem_engine.h"

namespace TrackloomApp {
namespace {

// Writes the four stems as 16-bit WAV, encoded by the engine straight into the writers'
// buffers. Returns whether all four were written; reports each that was not.
bool WriteStemsAsS16(const std::string& inputPath, const std::string& outputDir,
                     std::unique_ptr<Trackloom::AudioReader>& reader, std::vector<float>& input,
                     size_t frames, const std::vector<std::string>& paths,
                     Trackloom::StemEngine& engine,
                     const std::function<void(const float*, size_t)>& listen, std::ostream& err,
                     std::string& reasons) {
    using namespace Trackloom;
    const WavFormat format = reader->format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader->blockFrames();
    // An interrupted run removes its temporaries: a long mix leaves gigabytes of them. The
    // files are watched from the moment they exist.
    InterruptCleanup interruptCleanup;
    std::array<WavWriter, 4> writers;
    std::array<bool, 4> ok{};
    OpenStemSet(interruptCleanup, writers, ok, [&](WavWriter& w, size_t k) {
        return w.open(paths[k], format.sampleRate, format.channels) == WavStatus::Ok;
    });
    const std::function<void()> closeAll = [&] {
        for (WavWriter& writer : writers) writer.abandon();
        reader.reset();
    };

    ProgressLine progress(reader->frameCount(), format.sampleRate);
    std::vector<unsigned char> spare;
    // Once no stem can be written any more, the rest of the input is not worth reading.
    auto anyWritable = [&ok] { return ok[0] || ok[1] || ok[2] || ok[3]; };
    // A stem that can no longer be written is still separated, into a spare buffer, for the
    // others. An engine that looks ahead writes less than it takes, and the rest once the
    // input has ended.
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
        interruptCleanup.closeAndEndIfInterrupted(closeAll);
        if (listen) listen(input.data(), frames);
        separate(frames, [&](const std::array<unsigned char*, 4>& out) {
            return engine.processS16(input.data(), frames, out);
        });
        taken += frames;
        progress.update(taken);
        frames = reader->readFrames(input.data(), blockFrames);
    }
    if (anyWritable()) {
        separate(engine.maxFinishFrames(),
                 [&](const std::array<unsigned char*, 4>& out) { return engine.finishS16(out); });
    }
    progress.clear();
    interruptCleanup.closeAndEndIfInterrupted(closeAll);
    WarnIfInputDisagreesWithHeader(err, inputPath, *reader);
    // The input may be one of the targets; it must be closed before being replaced, which
    // Windows insists on.
    reader.reset();

    const bool allWritten = FinishStemSet(interruptCleanup, outputDir, writers, ok, closeAll);
    for (size_t k = 0; k < 4; ++k) {
        if (ok[k]) continue;
        reasons += reasons.empty() ? "" : "; ";
        reasons += paths[k] + ": " + ReportWriteFailure(err, paths[k], writers[k]);
    }
    return allWritten;
}

}  // namespace

int RunSplit(const std::string& inputPath, const std::string& outputDir, const SplitSettings& split,
             const ResultSettings& settings, CommandStreams streams) {
    using namespace Trackloom;
    // The text of a failure goes to the error stream whatever the format; a script reading
    // JSON also finds it on the input's line.
    auto failed = [&](const std::string& reason) {
        if (settings.json) streams.out << ErrorJson(inputPath, reason) << "\n";
        return 1;
    };
    // An unset variable in a script passes "": the stems would land in the root directory.
    if (outputDir.empty()) {
        const std::string reason =
            "Output directory is empty: give the directory to write the stems into";
        streams.err << reason << "\n";
        return failed(reason);
    }
    std::string reason;
    std::unique_ptr<AudioReader> reader =
        OpenInput(streams.err, inputPath, "--split - DIR", reason);
    if (!reader) return failed(reason);
    const WavFormat format = reader->format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader->blockFrames();

    std::vector<float> input(blockFrames * channels);

    // No output is created for an input that holds no audio.
    size_t frames = reader->readFrames(input.data(), blockFrames);
    if (frames == 0) return failed(ReportNoAudio(streams.err, inputPath));

    // Outputs go to temporary files and replace their targets only after the whole input
    // has been read, so splitting into the input's own directory is safe.
    const std::vector<StemKind> fourStems = {StemKind::Vocals, StemKind::Drums, StemKind::Bass,
                                             StemKind::Other};
    const std::vector<StemKind>& kinds = split.stems.empty() ? fourStems : split.stems;
    std::vector<std::string> paths;
    for (const StemKind kind : kinds) {
        paths.push_back(outputDir + "/" + StemName(kind) + "." + split.format.extension());
    }
    // Stems a WAV header cannot describe are refused up front: reading an hour of input
    // only to fail at the end would waste the user's time. Beyond 16 bits the margin is for
    // the chunks libsndfile writes around the data.
    constexpr uint64_t kWavDataLimit = UINT32_MAX - 4096;
    const uint64_t maxFrames = split.format.isDefault() ? WavWriter::kMaxSamples / channels
                               : split.format.kind == OutputFormat::Kind::Wav
                                   ? kWavDataLimit / split.format.bytesPerSample() / channels
                                   : AudioReader::kUnknownFrameCount;
    if (reader->frameCount() != AudioReader::kUnknownFrameCount &&
        reader->frameCount() > maxFrames) {
        return failed(
            ReportWriteFailures(streams.err, paths, WriteFailureReason(WavStatus::TooLarge, {})));
    }
    const std::unique_ptr<StemEngine> engine =
        MakeStemEngine(split.engine, format.sampleRate, format.channels);
    if (!engine) {
        return failed(ReportReadFailure(
            streams.err, inputPath,
            "the spectral engine takes 1 to " + std::to_string(kSpectralMaxChannels) +
                " channels and this input has " + std::to_string(format.channels) +
                "; the filter engine takes any number"));
    }
    // A missing output directory is made, parents and all, once there is something to put in it.
    std::error_code dirError;
    if (!CreateOutputDirectory(outputDir, dirError)) {
        return failed(
            ReportWriteFailures(streams.err, paths, DirectoryFailureReason(outputDir, dirError)));
    }

    // A JSON line carries the tempo and key too, so the estimators hear the input as it
    // passes; the text output has never printed them.
    std::optional<TempoEstimator> tempo;
    std::optional<KeyEstimator> key;
    std::function<void(const float*, size_t)> listen;
    if (settings.json) {
        tempo.emplace(format.sampleRate, format.channels);
        key.emplace(format.sampleRate, format.channels);
        listen = [&](const float* block, size_t n) {
            tempo->feed(block, n);
            key->feed(block, n);
        };
    }
    std::string reasons;
    // The four stems as 16-bit WAV, as the split has always written them, are encoded by the
    // engine straight into the writers' buffers; anything else goes through its float stems.
    const bool allWritten =
        kinds == fourStems && split.format.isDefault()
            ? WriteStemsAsS16(inputPath, outputDir, reader, input, frames, paths, *engine, listen,
                              streams.err, reasons)
            : WriteFloatStems(inputPath, outputDir, reader, input, frames, kinds, paths,
                              split.format, *engine, listen, streams.err, reasons);
    if (!allWritten) return failed(reasons);
    if (settings.json) {
        dsp::TempoAndKey estimates = dsp::EstimateTempoAndKey(*tempo, *key);
        if (settings.maxBpm > 0.0) {
            estimates.bpm =
                dsp::FoldTempoIntoRange(estimates.bpm, settings.minBpm, settings.maxBpm);
        }
        std::vector<std::pair<std::string, std::string>> stems;
        for (size_t k = 0; k < kinds.size(); ++k) {
            stems.emplace_back(StemName(kinds[k]), paths[k]);
        }
        streams.out << SplitJson(inputPath, estimates, stems) << "\n";
        if (estimates.tempoIsGuess) ReportNoSteadyBeat(streams.err);
    } else {
        streams.out << "Successfully split " << inputPath << " into " << kinds.size()
                    << " stems in " << outputDir << "\n";
    }
    return 0;
}

int RunSplit(const std::string& inputPath, const std::string& outputDir,
             const Trackloom::OutputFormat& format, Trackloom::EngineKind engine) {
    return RunSplit(inputPath, outputDir, {format, engine, {}}, {}, {std::cout, std::cerr});
}

}  // namespace TrackloomApp
