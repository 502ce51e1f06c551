// libFuzzer entry for the decoders chosen by the first bytes (libsndfile's for everything
// but WAV), driven as the commands drive them: opened from a file-like stream and from one
// that cannot seek, read in blocks.
//
// Besides the sanitizers' own checks it traps when a reader breaks a promise its callers
// rely on: a rate or channel count no one could use, more frames than the length it
// declared, a block longer than asked, or a sample that is no number.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/io/audio_reader.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Enough frames to cover any decoder's internal buffering, few enough that a tiny input
// claiming hours of audio still runs fast.
constexpr uint64_t kMaxFramesRead = 1u << 20;

void drain(Trackloom::io::OpenedAudio opened) {
    if (opened.status != Trackloom::io::AudioStatus::Ok) {
        check(!opened.reader);
        return;
    }
    Trackloom::io::AudioReader& reader = *opened.reader;
    const auto& format = reader.format();
    check(format.sampleRate > 0 && format.channels > 0);
    const size_t blockFrames = reader.blockFrames();
    const auto channels = static_cast<size_t>(format.channels);
    check(blockFrames > 0 && blockFrames * channels <= 65536 * 2);
    std::vector<float> block(blockFrames * channels);
    while (reader.framesRead() < kMaxFramesRead) {
        const size_t n = reader.readFrames(block.data(), blockFrames);
        check(n <= blockFrames);
        for (size_t i = 0; i < n * channels; ++i) check(std::isfinite(block[i]));
        if (n < blockFrames) break;
    }
    if (reader.frameCount() != Trackloom::io::AudioReader::kUnknownFrameCount &&
        !reader.endedEarly()) {
        check(reader.framesRead() >= reader.frameCount() || reader.framesRead() >= kMaxFramesRead);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::istringstream file(bytes);
        drain(Trackloom::io::OpenSeekableAudio(file));
    }
    {
        std::istringstream pipe(bytes);
        drain(Trackloom::io::OpenAudio(pipe));
    }
    return 0;
}
