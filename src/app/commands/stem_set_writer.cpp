// A split written from the engine's float stems: any format beyond 16-bit WAV (24-bit or
// float WAV, FLAC), any choice of stems, the accompaniment among them (the input less the
// vocals, from the same floats, for karaoke). Each stem goes to a writer of its own.
#include <algorithm>
#include <deque>
#include <ostream>
#include <vector>

#include "app/commands.h"
#include "app/commands/command_checks.h"
#include "app/commands/stem_set_files.h"
#include "app/reports/progress_line.h"
#include "dsp/io/sndfile_writer.h"
#include "dsp/io/wav_io.h"
#include "dsp/separation/stem_engine.h"

namespace TrackloomApp {
namespace {

using Trackloom::io::OutputFormat;

// One stem file in any format: 16-bit WAV through WavWriter, so a stem is the very bytes the
// four-stem split writes, anything else through libsndfile.
class StemFile {
  public:
    bool open(const std::string& path, const OutputFormat& format, int32_t rate, int32_t channels) {
        wav_ = format.isDefault();
        return (wav_ ? wav16_.open(path, rate, channels)
                     : other_.open(path, format, rate, channels)) == Trackloom::io::WavStatus::Ok;
    }
    bool writeFrames(const float* in, size_t frames) {
        return wav_ ? wav16_.writeFrames(in, frames) : other_.writeFrames(in, frames);
    }
    bool finish() { return wav_ ? wav16_.finish() : other_.finish(); }
    void abandon() {
        wav16_.abandon();
        other_.abandon();
    }
    const std::string& temporaryPath() const {
        return wav_ ? wav16_.temporaryPath() : other_.temporaryPath();
    }

  private:
    bool wav_ = true;
    Trackloom::io::WavWriter wav16_;
    Trackloom::io::SndfileWriter other_;
};

}  // namespace

const char* StemName(StemKind kind) {
    switch (kind) {
        case StemKind::Vocals:
            return "vocals";
        case StemKind::Drums:
            return "drums";
        case StemKind::Bass:
            return "bass";
        case StemKind::Other:
            return "other";
        case StemKind::Accompaniment:
            return "accompaniment";
    }
    return "";
}

bool WriteFloatStems(const std::string& inputPath, const std::string& outputDir,
                     std::unique_ptr<Trackloom::io::AudioReader>& reader, std::vector<float>& input,
                     size_t frames, const std::vector<StemKind>& kinds,
                     const std::vector<std::string>& paths, const OutputFormat& outputFormat,
                     Trackloom::separation::StemEngine& engine,
                     const std::function<void(const float*, size_t)>& listen, std::ostream& err,
                     std::string& reasons) {
    using namespace Trackloom;
    using namespace Trackloom::io;
    using namespace Trackloom::separation;
    using namespace Trackloom::analysis;
    const WavFormat format = reader->format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader->blockFrames();
    const bool accompanied =
        std::find(kinds.begin(), kinds.end(), StemKind::Accompaniment) != kinds.end();

    InterruptCleanup interruptCleanup;
    std::deque<StemFile> writers(kinds.size());
    std::vector<bool> ok(kinds.size(), false);
    OpenStemSet(interruptCleanup, writers, ok, [&](StemFile& w, size_t k) {
        return w.open(paths[k], outputFormat, format.sampleRate, format.channels);
    });
    const std::function<void()> closeAll = [&] {
        for (StemFile& writer : writers) writer.abandon();
        reader.reset();
    };

    // The engine's four stems, and the accompaniment worked out from the vocals and the input
    // they were made from: an engine that looks ahead gives its stems late, so the input
    // waits in `pending` until its stems are out. Without the accompaniment neither is kept.
    const size_t room = std::max(blockFrames, engine.maxFinishFrames()) * channels;
    std::array<std::vector<float>, 5> stems;
    for (auto& stem : stems) stem.resize(room);
    const std::array<float*, 4> out = {stems[0].data(), stems[1].data(), stems[2].data(),
                                       stems[3].data()};
    std::vector<float> pending;
    auto write = [&](size_t written) {
        if (accompanied) {
            const size_t samples = written * channels;
            float* accompaniment = stems[static_cast<size_t>(StemKind::Accompaniment)].data();
            for (size_t i = 0; i < samples; ++i) accompaniment[i] = pending[i] - stems[0][i];
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(samples));
        }
        for (size_t k = 0; k < kinds.size(); ++k) {
            const float* stem = stems[static_cast<size_t>(kinds[k])].data();
            if (ok[k]) ok[k] = writers[k].writeFrames(stem, written);
        }
    };
    ProgressLine progress(reader->frameCount(), format.sampleRate);
    auto anyWritable = [&ok] { return std::find(ok.begin(), ok.end(), true) != ok.end(); };
    uint64_t taken = 0;
    while (frames > 0 && anyWritable()) {
        interruptCleanup.closeAndEndIfInterrupted(closeAll);
        if (listen) listen(input.data(), frames);
        if (accompanied) {
            pending.insert(pending.end(), input.begin(),
                           input.begin() + static_cast<std::ptrdiff_t>(frames * channels));
        }
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
    for (size_t k = 0; k < kinds.size(); ++k) {
        if (ok[k]) continue;
        ReportWriteFailure(err, paths[k]);
        reasons += reasons.empty() ? "" : "; ";
        reasons += paths[k] + ": the file could not be written";
    }
    return allWritten;
}

}  // namespace TrackloomApp
