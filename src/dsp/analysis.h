// Tempo and key of a whole buffer in one pass over it: the two share the harmony's loop,
// which is found once.
#pragma once

#include <string>

#include "dsp/audio_dsp.h"

namespace Trackloom {
namespace dsp {

struct TempoAndKey {
    double bpm = 120.0;
    std::string key;
};

TempoAndKey EstimateTempoAndKey(const AudioBuffer& input);

}  // namespace dsp
}  // namespace Trackloom
