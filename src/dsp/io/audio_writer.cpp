#include "dsp/io/audio_writer.h"

#include "dsp/io/flac_writer.h"
#include "dsp/io/wav_writer.h"

namespace Trackloom::io {

bool AudioWriter::fail(WriteStatus status, std::error_code error) {
    if (failure_ == WriteStatus::Ok) {
        failure_ = status;
        error_ = error;
    }
    return false;
}

std::unique_ptr<AudioWriter> MakeAudioWriter(ByteOutput& out, const OutputFormat& format,
                                             int32_t sampleRate, int32_t channels,
                                             uint64_t frameCount) {
    if (format.kind == OutputFormat::Kind::Flac) {
        auto writer = std::make_unique<FlacWriter>();
        writer->open(out, format.depth, sampleRate, channels);
        return writer;
    }
    auto writer = std::make_unique<WavWriter>();
    writer->open(out, format.depth, sampleRate, channels, frameCount);
    return writer;
}

}  // namespace Trackloom::io
