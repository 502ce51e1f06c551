#include <array>
#include <iostream>
#include <ostream>
#include <vector>

#include "app/command_checks.h"
#include "app/commands.h"
#include "app/directory_lock.h"
#include "app/failure_reasons.h"
#include "app/interrupt_cleanup.h"
#include "app/json_report.h"
#include "dsp/stem_separator.h"
#include "dsp/wav_io.h"

namespace TrackloomApp {
namespace {

constexpr std::array<const char*, 4> kStemNames = {"/vocals.wav", "/drums.wav", "/bass.wav",
                                                   "/other.wav"};

}  // namespace

int RunSplit(const std::string& inputPath, const std::string& outputDir,
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
    WavReader reader;
    if (const WavStatus status = reader.open(inputPath); status != WavStatus::Ok) {
        return failed(ReportReadFailure(streams.err, inputPath, status, reader.problem()));
    }
    const WavFormat format = reader.format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader.blockFrames();

    std::vector<float> input(blockFrames * channels);

    // No output is created for an input that holds no audio.
    size_t frames = reader.readFrames(input.data(), blockFrames);
    if (frames == 0) return failed(ReportNoAudio(streams.err, inputPath));

    // Outputs go to temporary files and replace their targets only after the whole input
    // has been read, so splitting into the input's own directory is safe.
    std::array<std::string, 4> paths;
    for (size_t k = 0; k < 4; ++k) paths[k] = outputDir + kStemNames[k];
    // Stems a WAV header cannot describe are refused up front: reading an hour of input
    // only to fail at the end would waste the user's time.
    if (reader.frameCount() != WavReader::kUnknownFrameCount &&
        reader.frameCount() > WavWriter::kMaxSamples / channels) {
        return failed(ReportWriteFailures(streams.err, {paths.begin(), paths.end()},
                                          WriteFailureReason(WavStatus::TooLarge, {})));
    }
    // A missing output directory is made, parents and all, once there is something to put in it.
    std::error_code dirError;
    if (!CreateOutputDirectory(outputDir, dirError)) {
        return failed(ReportWriteFailures(streams.err, {paths.begin(), paths.end()},
                                          DirectoryFailureReason(outputDir, dirError)));
    }
    // An interrupted run removes its temporaries: a long mix leaves gigabytes of them. The
    // files are watched from the moment they exist.
    InterruptCleanup interruptCleanup;
    std::array<WavWriter, 4> writers;
    std::array<bool, 4> ok{};
    interruptCleanup.hold();
    std::vector<std::string> temporaries;
    for (size_t k = 0; k < 4; ++k) {
        ok[k] = writers[k].open(paths[k], format.sampleRate, format.channels) == WavStatus::Ok;
        if (ok[k]) temporaries.push_back(writers[k].temporaryPath());
    }
    interruptCleanup.watch(temporaries);
    interruptCleanup.release();
    auto closeAll = [&] {
        for (WavWriter& writer : writers) writer.abandon();
        reader = WavReader();
    };

    StemSeparator separator(format.sampleRate, format.channels);
    std::vector<unsigned char> spare;
    // Once no stem can be written any more, the rest of the input is not worth reading.
    auto anyWritable = [&ok] { return ok[0] || ok[1] || ok[2] || ok[3]; };
    while (frames > 0 && anyWritable()) {
        interruptCleanup.closeAndEndIfInterrupted(closeAll);
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
        frames = reader.readFrames(input.data(), blockFrames);
    }
    interruptCleanup.closeAndEndIfInterrupted(closeAll);
    WarnIfInputDisagreesWithHeader(streams.err, inputPath, reader);
    // The input may be one of the targets; it must be closed before being replaced, which
    // Windows insists on.
    reader = WavReader();

    // The four stems replace the old ones together: another run splitting into the same
    // directory renames its set before or after, never in between, and an interruption
    // waits until the set is complete.
    bool allWritten = true;
    {
        interruptCleanup.hold();
        const DirectoryLock lock(outputDir);
        for (size_t k = 0; k < 4; ++k) {
            if (ok[k]) ok[k] = writers[k].finish();
            if (!ok[k]) allWritten = false;
        }
        interruptCleanup.watch({});
        interruptCleanup.release();
    }
    // An interruption that waited for the set still ends the run as interrupted.
    interruptCleanup.closeAndEndIfInterrupted(closeAll);
    std::string reasons;
    for (size_t k = 0; k < 4; ++k) {
        if (ok[k]) continue;
        reasons += reasons.empty() ? "" : "; ";
        reasons += paths[k] + ": " + ReportWriteFailure(streams.err, paths[k], writers[k]);
    }
    if (!allWritten) return failed(reasons);
    if (settings.json) {
        std::vector<std::pair<std::string, std::string>> stems;
        // "/vocals.wav" names the stem "vocals".
        for (size_t k = 0; k < 4; ++k) {
            const std::string file = kStemNames[k];
            stems.emplace_back(file.substr(1, file.size() - 5), paths[k]);
        }
        streams.out << StemsJson(inputPath, stems) << "\n";
    } else {
        streams.out << "Successfully split " << inputPath << " into 4 stems in " << outputDir
                    << "\n";
    }
    return 0;
}

int RunSplit(const std::string& inputPath, const std::string& outputDir) {
    return RunSplit(inputPath, outputDir, {}, {std::cout, std::cerr});
}

}  // namespace TrackloomApp
