// The audio core's public records and operations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Trackloom {

// Interleaved audio. A buffer with no samples is the one sign that no audio was obtained.
struct AudioBuffer {
    int32_t sampleRate = 44100;  // in Hz, per channel
    int32_t channels = 1;
    std::vector<float> samples;  // nominal range -1..1, interleaved by channel
};

// The result of a separation: four stems, each as long as the input, plus the analysis.
struct StemSet {
    AudioBuffer vocals;
    AudioBuffer drums;
    AudioBuffer bass;
    AudioBuffer other;
    double bpm = 0.0;  // beats per minute
    std::string key;   // e.g. "A Minor (Relative: C Major)"
};

// Whole-buffer operations. Each is a thin wrapper over the block-based objects
// (WavReader, WavWriter, StemSeparator, TempoEstimator, KeyEstimator).
namespace AudioDSP {

// Reads a WAV file. Returns a buffer with no samples when the file cannot be read.
AudioBuffer LoadWav(const std::string& path);

// Writes a 16-bit PCM WAV file. The file appears under `path` only when complete;
// returns false (leaving any previous file untouched) when anything failed.
bool SaveWav(const std::string& path, const AudioBuffer& buffer);

// Splits the input into vocals, drums, bass and other, and fills bpm and key.
StemSet SeparateStems(const AudioBuffer& input);

// Tempo in beats per minute, rounded to 0.1; 120 for empty or silent input.
double EstimateBPM(const AudioBuffer& input);

// Key name such as "A Minor (Relative: C Major)"; "F# Minor (Relative: A Major)"
// for empty or silent input.
std::string EstimateKey(const AudioBuffer& input);

// Renders the procedural demo track: mono, `sampleRate` Hz, `durationSeconds` long.
AudioBuffer CreateDemoSong(float durationSeconds, int32_t sampleRate);

}  // namespace AudioDSP
}  // namespace Trackloom
