// The mask network's tiles compiled for AVX2 (without FMA, so every product and sum is
// rounded on its own as in the baseline copy); called only where the processor has AVX2.
#include "dsp/separation/spectral/mask_network_tiles.h"

namespace Trackloom::separation::spectral {

void EvaluateMaskTilesAvx2(const MaskNetwork& net, const float* features, size_t stride,
                           size_t count, size_t ownInputs, const float* firstBias,
                           const float* contextInputs, const uint32_t* columnBand, size_t columns,
                           float* scores) {
    EvaluateTiles(net, features, stride, count, ownInputs, firstBias, contextInputs, columnBand,
                  columns, scores);
}

}  // namespace Trackloom::separation::spectral
