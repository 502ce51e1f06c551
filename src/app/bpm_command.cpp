#include "app/commands.h"
#include "dsp/audio_dsp.h"

namespace TrackloomApp {

int RunBpm(const std::string& inputPath) {
    using namespace Trackloom;
    const AudioBuffer input = AudioDSP::LoadWav(inputPath);
    if (input.samples.empty()) {
        ReportReadFailure(inputPath);
        return 1;
    }
    PrintEstimates(AudioDSP::EstimateBPM(input), AudioDSP::EstimateKey(input));
    return 0;
}

}  // namespace TrackloomApp
