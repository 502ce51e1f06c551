#include "dsp/separation/spectral/mask_network.h"

#include <algorithm>

#include "dsp/core/cpu_features.h"
#include "dsp/core/portable_math.h"
#include "dsp/separation/spectral/mask_network_tiles.h"

namespace Trackloom::separation::spectral {

// In mask_network_avx2.cpp.
void EvaluateMaskTilesAvx2(const MaskNetwork& net, const float* features, size_t stride,
                           size_t count, size_t ownInputs, const float* firstBias,
                           const float* contextInputs, const uint32_t* columnBand, size_t columns,
                           float* scores);

void EvaluateMaskNetwork(const MaskNetwork& net, const float* features, size_t stride, size_t count,
                         const float* shared, size_t sharedCount, const BandContext& context,
                         float* masks, bool wide) {
    const size_t own = net.inputs - sharedCount;
    // The first layer: what the shared inputs add is the same for every bin, so it joins
    // the bias; the rows' first `own` weights are for the bins' own inputs, the last ones
    // for the band context's values.
    const size_t first = net.widths[0];
    const size_t rowLength = net.inputs + net.contextOutputs();
    const float* firstBias = net.weights + first * rowLength;
    float bias[kMaxMaskWidth];
    for (size_t u = 0; u < first; ++u) {
        const float* row = net.weights + u * rowLength;
        float b = firstBias[u];
        for (size_t i = 0; i < sharedCount; ++i) b += row[own + i] * shared[i];
        bias[u] = b;
    }
    const size_t tiles = (count + kMaskTile - 1) / kMaskTile * kMaskTile;
    static const bool hasAvx2 = core::HasAvx2();
    const float* contextInputs = net.contextLayers > 0 ? context.inputs : nullptr;
    if (wide && hasAvx2) {
        EvaluateMaskTilesAvx2(net, features, stride, tiles, own, bias, contextInputs,
                              context.columnBand, count, masks);
    } else {
        EvaluateTiles(net, features, stride, tiles, own, bias, contextInputs, context.columnBand,
                      count, masks);
    }
    float* m0 = masks;
    float* m1 = masks + stride;
    float* m2 = masks + 2 * stride;
    float* m3 = masks + 3 * stride;
    for (size_t k = 0; k < count; ++k) {
        const float top = std::max(std::max(m0[k], m1[k]), std::max(m2[k], m3[k]));
        const float e0 = core::PortableExpNonPositive(m0[k] - top);
        const float e1 = core::PortableExpNonPositive(m1[k] - top);
        const float e2 = core::PortableExpNonPositive(m2[k] - top);
        const float e3 = core::PortableExpNonPositive(m3[k] - top);
        const float per = 1.0f / (((e0 + e1) + e2) + e3);
        m0[k] = e0 * per;
        m1[k] = e1 * per;
        m2[k] = e2 * per;
        m3[k] = e3 * per;
    }
}

}  // namespace Trackloom::separation::spectral
