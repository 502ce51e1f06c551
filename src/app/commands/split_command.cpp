// --split: one input through a separation engine into a set of stem files.
#include "app/commands/split_command.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "app/batch.h"
#include "app/commands/command_checks.h"
#include "app/commands/open_input.h"
#include "app/commands/stem_set_writer.h"
#include "app/platform/interrupt_cleanup.h"
#include "app/platform/replacement_file.h"
#include "app/reports/failure_reasons.h"
#include "app/reports/json_report.h"
#include "app/reports/progress_line.h"
#include "app/reports/reports.h"
#include "dsp/analysis/analysis.h"
#include "dsp/io/audio_reader.h"
#include "dsp/separation/stem_engine.h"

namespace TrackloomApp::commands {
namespace {

using Trackloom::StemKind;
using Trackloom::io::AudioReader;

// One split from the opened input to the committed stems.
class SplitSession {
  public:
    SplitSession(const std::string& inputPath, const std::string& outputDir,
                 const SplitSettings& split, const ResultSettings& settings, CommandStreams streams)
        : inputPath_(inputPath),
          outputDir_(outputDir),
          split_(split),
          settings_(settings),
          streams_(streams),
          kinds_(StemsWritten(split)),
          paths_(StemPaths(outputDir, split)) {}

    int run();

  private:
    // Reports the failure given, and on a JSON line too; returns the status.
    int failed(const std::string& reason);
    bool prepare(size_t& frames);
    // Reads, separates and writes the whole input; false if a stem could not be written.
    bool separateInto(StemSetWriter& stems, size_t frames);
    // Separates a block of `frames` frames into the writers.
    bool separateBlock(StemSetWriter& stems, size_t frames);
    // Hands the due frames of the engine's stems (and of the accompaniment) to the writers.
    bool writeDue(StemSetWriter& stems, size_t frames);
    // Where the engine puts its four float stems.
    std::array<float*, 4> engineStems() {
        return {stems_[0].data(), stems_[1].data(), stems_[2].data(), stems_[3].data()};
    }
    void listen(const float* block, size_t frames);
    void reportClipping(const StemSetWriter& stems);
    void reportSuccess();

    const std::string& inputPath_;
    const std::string& outputDir_;
    const SplitSettings& split_;
    const ResultSettings& settings_;
    CommandStreams streams_;
    std::vector<StemKind> kinds_;
    std::vector<std::string> paths_;

    std::unique_ptr<AudioReader> reader_;
    std::unique_ptr<Trackloom::separation::StemEngine> engine_;
    size_t channels_ = 1;
    std::vector<float> input_;
    // The engine's four stems and the accompaniment worked out from the vocals and the input
    // they were made from: an engine that looks ahead gives its stems late, so the input
    // waits in `pending_` until its stems are out. Without the accompaniment neither is kept.
    std::array<std::vector<float>, 5> stems_;
    std::vector<float> pending_;
    bool accompanied_ = false;
    // The default set (the engine's four stems as 16-bit WAV) from an engine that encodes as
    // it separates: one pass straight into the writers' buffers, no float stems at all.
    bool encodeInPlace_ = false;
    // A JSON line carries the tempo and key too, so the estimators hear the input as it
    // passes; the text output has never printed them.
    std::optional<Trackloom::analysis::TempoEstimator> tempo_;
    std::optional<Trackloom::analysis::KeyEstimator> key_;
};

int SplitSession::failed(const std::string& reason) {
    // The text of a failure goes to the error stream whatever the format; a script reading
    // JSON also finds it on the input's line.
    if (settings_.json) streams_.out << reports::ErrorJson(inputPath_, reason) << "\n";
    return 1;
}

int SplitSession::run() {
    // An unset variable in a script passes "": the stems would land in the root directory.
    if (outputDir_.empty()) {
        const std::string reason =
            "Output directory is empty: give the directory to write the stems into";
        streams_.err << reason << "\n";
        return failed(reason);
    }
    std::string reason;
    reader_ = OpenInput(streams_.err, inputPath_, "--split - DIR", reason);
    if (!reader_) return failed(reason);
    size_t frames = 0;
    if (!prepare(frames)) return 1;

    // An interrupted run removes its temporaries: a long mix leaves gigabytes of them.
    platform::InterruptCleanup cleanup;
    StemSetWriter stems(cleanup, [this] { reader_.reset(); });
    // Leftovers of earlier runs into this directory that were killed outright go first.
    std::vector<std::string> names;
    for (const std::string& path : paths_) names.push_back(path.substr(outputDir_.size() + 1));
    platform::RemoveLeftoverTemporaries(outputDir_, names);
    // Outputs go to temporary files and replace their targets only after the whole input has
    // been read, so splitting into the input's own directory is safe.
    const auto format = reader_->format();
    bool written = stems.open(paths_, split_.format, format.sampleRate, format.channels,
                              reader_->frameCount()) &&
                   separateInto(stems, frames);
    if (written) {
        WarnIfInputDisagreesWithHeader(streams_.err, inputPath_, *reader_);
        // The input may be one of the targets; it must be closed before being replaced, which
        // Windows insists on.
        reader_.reset();
        written = stems.commit(outputDir_, [this] {
            streams_.err << "Waiting for another run writing stems into " << outputDir_ << "\n";
        });
    }
    // An interruption that waited for the set still ends the run as interrupted.
    stems.endIfInterrupted();
    if (!written) {
        std::string reasons;
        for (const auto& [path, why] : stems.failures()) {
            reasons += reasons.empty() ? "" : "; ";
            reasons += path + ": " + reports::ReportWriteFailure(streams_.err, path, why);
        }
        return failed(reasons);
    }
    reportClipping(stems);
    reportSuccess();
    return 0;
}

bool SplitSession::prepare(size_t& frames) {
    using Trackloom::separation::kSpectralMaxChannels;
    using Trackloom::separation::MakeStemEngine;
    const auto format = reader_->format();
    channels_ = static_cast<size_t>(format.channels);
    input_.resize(reader_->blockFrames() * channels_);
    // No output is created for an input that holds no audio.
    frames = reader_->readFrames(input_.data(), reader_->blockFrames());
    if (frames == 0) return failed(reports::ReportNoAudio(streams_.err, inputPath_)), false;
    engine_ = MakeStemEngine(split_.engine, format.sampleRate, format.channels);
    if (!engine_) {
        failed(reports::ReportReadFailure(
            streams_.err, inputPath_,
            "the spectral engine takes 1 to " + std::to_string(kSpectralMaxChannels) +
                " channels and this input has " + std::to_string(format.channels) +
                "; the filter engine takes any number"));
        return false;
    }
    // A missing output directory is made, parents and all, once there is something to put in it.
    std::error_code dirError;
    if (!CreateOutputDirectory(outputDir_, dirError)) {
        failed(reports::ReportWriteFailures(streams_.err, paths_,
                                            reports::DirectoryFailureReason(outputDir_, dirError)));
        return false;
    }
    accompanied_ = std::find(kinds_.begin(), kinds_.end(), StemKind::Accompaniment) != kinds_.end();
    const size_t room = std::max(reader_->blockFrames(), engine_->maxFinishFrames()) * channels_;
    for (auto& stem : stems_) stem.resize(room);
    if (settings_.json) {
        tempo_.emplace(format.sampleRate, format.channels);
        key_.emplace(format.sampleRate, format.channels);
    }
    return true;
}

void SplitSession::listen(const float* block, size_t frames) {
    if (!settings_.json) return;
    tempo_->feed(block, frames);
    key_->feed(block, frames);
}

bool SplitSession::separateInto(StemSetWriter& stems, size_t frames) {
    reports::ProgressLine progress(reader_->frameCount(), reader_->format().sampleRate);
    uint64_t taken = 0;
    bool ok = true;
    encodeInPlace_ = engine_->encodesS16() && stems.takesEncoded() &&
                     std::equal(kinds_.begin(), kinds_.end(), Trackloom::kEngineStems.begin(),
                                Trackloom::kEngineStems.end());
    while (ok && frames > 0) {
        stems.endIfInterrupted();
        listen(input_.data(), frames);
        if (accompanied_) {
            pending_.insert(pending_.end(), input_.begin(),
                            input_.begin() + static_cast<std::ptrdiff_t>(frames * channels_));
        }
        ok = separateBlock(stems, frames);
        taken += frames;
        progress.update(taken);
        if (ok) frames = reader_->readFrames(input_.data(), reader_->blockFrames());
    }
    if (ok) ok = writeDue(stems, engine_->finish(engineStems()));
    progress.clear();
    stems.endIfInterrupted();
    return ok;
}

bool SplitSession::separateBlock(StemSetWriter& stems, size_t frames) {
    if (!encodeInPlace_)
        return writeDue(stems, engine_->process(input_.data(), frames, engineStems()));
    std::array<unsigned char*, 4> room{};
    for (size_t k = 0; k < room.size(); ++k) {
        room[k] = stems.reserveEncoded(k, frames);
        if (room[k] == nullptr) return false;
    }
    engine_->processS16(input_.data(), frames, room);
    for (size_t k = 0; k < room.size(); ++k) {
        if (!stems.commitEncoded(k, frames)) return false;
    }
    return true;
}

bool SplitSession::writeDue(StemSetWriter& stems, size_t frames) {
    const size_t samples = frames * channels_;
    if (accompanied_) {
        float* accompaniment = stems_[static_cast<size_t>(StemKind::Accompaniment)].data();
        for (size_t i = 0; i < samples; ++i) accompaniment[i] = pending_[i] - stems_[0][i];
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(samples));
    }
    for (size_t k = 0; k < kinds_.size(); ++k) {
        if (!stems.write(k, stems_[static_cast<size_t>(kinds_[k])].data(), frames)) return false;
    }
    return true;
}

void SplitSession::reportClipping(const StemSetWriter& stems) {
    for (size_t k = 0; k < paths_.size(); ++k) {
        if (stems.clipped(k) == 0) continue;
        streams_.err << "Warning: " << paths_[k] << ": " << stems.clipped(k)
                     << " samples were beyond full scale and clipped; --depth float keeps them\n";
    }
}

void SplitSession::reportSuccess() {
    if (!settings_.json) {
        streams_.out << "Successfully split " << inputPath_ << " into " << kinds_.size()
                     << " stems in " << outputDir_ << "\n";
        return;
    }
    Trackloom::analysis::TempoAndKey estimates =
        Trackloom::analysis::EstimateTempoAndKey(*tempo_, *key_);
    if (settings_.maxBpm > 0.0) {
        estimates.bpm = Trackloom::analysis::FoldTempoIntoRange(estimates.bpm, settings_.minBpm,
                                                                settings_.maxBpm);
    }
    std::vector<std::pair<std::string, std::string>> stems;
    for (size_t k = 0; k < kinds_.size(); ++k) {
        stems.emplace_back(Trackloom::StemName(kinds_[k]), paths_[k]);
    }
    streams_.out << reports::SplitJson(inputPath_, estimates, stems) << "\n";
    if (estimates.tempoIsGuess) reports::ReportNoSteadyBeat(streams_.err);
}

}  // namespace

int RunSplit(const std::string& inputPath, const std::string& outputDir, const SplitSettings& split,
             const ResultSettings& settings, CommandStreams streams) {
    return SplitSession(inputPath, outputDir, split, settings, streams).run();
}

int RunSplit(const std::string& inputPath, const std::string& outputDir,
             const Trackloom::io::OutputFormat& format, Trackloom::separation::EngineKind engine) {
    return RunSplit(inputPath, outputDir, {format, engine, {}}, {}, {std::cout, std::cerr});
}

}  // namespace TrackloomApp::commands
