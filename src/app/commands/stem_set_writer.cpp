#include "app/commands/stem_set_writer.h"

#include <cmath>
#include <utility>

#include "app/platform/directory_lock.h"
#include "app/reports/failure_reasons.h"

namespace TrackloomApp::commands {

using platform::DirectoryInTheWay;
using platform::DirectoryLock;
using platform::InterruptCleanup;
using platform::ReplacementFile;
namespace {

using Trackloom::io::OutputFormat;
using Trackloom::io::WriteStatus;

// Samples an integer depth clips: beyond full scale either way (a NaN is written as 0).
uint64_t CountBeyondFullScale(const float* samples, size_t count) {
    uint64_t beyond = 0;
    for (size_t i = 0; i < count; ++i) beyond += std::fabs(samples[i]) > 1.0f;
    return beyond;
}

}  // namespace

StemSetWriter::StemSetWriter(InterruptCleanup& cleanup, std::function<void()> closeFiles)
    : cleanup_(cleanup), closeFiles_(std::move(closeFiles)) {}

StemSetWriter::~StemSetWriter() {
    abandon();
}

bool StemSetWriter::open(const std::vector<std::string>& paths, const OutputFormat& format,
                         int32_t sampleRate, int32_t channels, uint64_t frameCount) {
    paths_ = paths;
    channels_ = channels > 0 ? static_cast<size_t>(channels) : 1;
    clipped_.assign(paths.size(), 0);
    countClipped_ = format.depth != OutputFormat::Depth::Float;
    takesEncoded_ = format.isDefault();
    rooms_.assign(paths.size(), nullptr);
    // Created and watched with interruptions held off, so none is left unwatched.
    cleanup_.hold();
    std::vector<std::string> temporaries;
    for (size_t k = 0; k < paths.size() && !failed_; ++k) {
        files_.push_back(std::make_unique<platform::ReplacementFile>());
        platform::ReplacementFile& file = *files_.back();
        if (platform::DirectoryInTheWay(paths[k])) {
            failStem(k,
                     reports::WriteFailureReason(WriteStatus::WriteFailed,
                                                 std::make_error_code(std::errc::is_a_directory)));
            break;
        }
        if (!file.open(paths[k])) {
            failStem(k, reports::WriteFailureReason(WriteStatus::CannotOpen, file.error()));
            break;
        }
        temporaries.push_back(file.temporaryPath());
        writers_.push_back(
            Trackloom::io::MakeAudioWriter(file, format, sampleRate, channels, frameCount));
        const Trackloom::io::AudioWriter& writer = *writers_.back();
        if (writer.failure() == WriteStatus::UnsupportedFormat) {
            // The format cannot hold this input: no stem can be written, and each says so.
            const std::string reason = reports::WriteFailureReason(writer.failure(), writer.error(),
                                                                   format, sampleRate, channels);
            for (size_t j = 0; j < paths.size(); ++j) failStem(j, reason);
        } else if (writer.failure() != WriteStatus::Ok) {
            failStem(k, reports::WriteFailureReason(writer.failure(), writer.error()));
        }
    }
    cleanup_.watch(temporaries);
    cleanup_.release();
    if (failed_) abandon();
    return !failed_;
}

bool StemSetWriter::write(size_t k, const float* stem, size_t frames) {
    if (failed_) return false;
    Trackloom::io::AudioWriter& writer = *writers_[k];
    if (countClipped_) clipped_[k] += CountBeyondFullScale(stem, frames * channels_);
    return writer.writeFrames(stem, frames) || abandonFor(k);
}

unsigned char* StemSetWriter::reserveEncoded(size_t k, size_t frames) {
    if (failed_ || !takesEncoded_) return nullptr;
    Trackloom::io::AudioWriter& writer = *writers_[k];
    rooms_[k] = writer.reserveEncoded(frames * channels_);
    if (rooms_[k] == nullptr) abandonFor(k);
    return rooms_[k];
}

bool StemSetWriter::commitEncoded(size_t k, size_t frames) {
    if (failed_) return false;
    Trackloom::io::AudioWriter& writer = *writers_[k];
    const size_t samples = frames * channels_;
    clipped_[k] += Trackloom::io::CountFullScaleS16(rooms_[k], samples);
    return writer.commitEncoded(samples) || abandonFor(k);
}

bool StemSetWriter::commit(const std::string& outputDir, const std::function<void()>& waiting) {
    if (failed_) return false;
    for (size_t k = 0; k < writers_.size(); ++k) {
        if (!writers_[k]->finish()) return abandonFor(k);
    }
    // Another run replacing stems in the same directory is waited for with interruptions
    // live: one now removes this run's temporaries and leaves the old stems as they were.
    const DirectoryLock lock(outputDir, waiting, [this] { endIfInterrupted(); });
    cleanup_.hold();
    // Checked again under the lock: a directory made meanwhile would stop one rename halfway
    // through the set.
    for (size_t k = 0; k < paths_.size(); ++k) {
        if (platform::DirectoryInTheWay(paths_[k])) {
            failStem(k,
                     reports::WriteFailureReason(WriteStatus::WriteFailed,
                                                 std::make_error_code(std::errc::is_a_directory)));
        }
    }
    for (size_t k = 0; k < files_.size() && !failed_; ++k) {
        if (!files_[k]->commit()) {
            failStem(k, reports::WriteFailureReason(WriteStatus::WriteFailed, files_[k]->error()));
        }
    }
    if (failed_) abandon();
    cleanup_.watch({});
    cleanup_.release();
    return !failed_;
}

void StemSetWriter::endIfInterrupted() {
    cleanup_.closeAndEndIfInterrupted([this] {
        abandon();
        closeFiles_();
    });
}

void StemSetWriter::abandon() {
    for (auto& file : files_) file->abandon();
}

bool StemSetWriter::failStem(size_t k, const std::string& reason) {
    failed_ = true;
    failures_.emplace_back(paths_[k], reason);
    return false;
}

bool StemSetWriter::abandonFor(size_t k) {
    const Trackloom::io::AudioWriter& writer = *writers_[k];
    failStem(k, reports::WriteFailureReason(writer.failure(), writer.error()));
    abandon();
    return false;
}

}  // namespace TrackloomApp::commands
