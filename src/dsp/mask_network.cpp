#include "dsp/mask_network.h"

#include <algorithm>
#include <cmath>

#include "dsp/mask_network_tiles.h"
#include "dsp/stem_mix.h"

namespace Trackloom {

float PortableExpNonPositive(float x) {
    if (!(x > -87.0f)) return 0.0f;
    if (x >= 0.0f) return 1.0f;
    // x = n ln2 + r with |r| <= ln2 / 2; ln2 split so that n * kLn2High is exact.
    constexpr float kLog2e = 1.44269504088896341f;
    constexpr float kLn2High = 0.693145751953125f;
    constexpr float kLn2Low = 1.428606765330187e-06f;
    const float n = std::floor(x * kLog2e + 0.5f);
    const float r = (x - n * kLn2High) - n * kLn2Low;
    // Taylor series to r^7: the remainder is below 1e-8 for |r| <= 0.35.
    float p = 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    return std::ldexp(p, static_cast<int>(n));
}

// In mask_network_avx2.cpp.
void EvaluateMaskTilesAvx2(const MaskNetwork& net, const float* features, size_t stride,
                           size_t count, size_t ownInputs, const float* firstBias, float* scores);

void EvaluateMaskNetwork(const MaskNetwork& net, const float* features, size_t stride, size_t count,
                         const float* shared, size_t sharedCount, float* masks, bool wide) {
    const size_t own = net.inputs - sharedCount;
    // The first layer: what the shared inputs add is the same for every bin, so it joins
    // the bias; the rows' first `own` weights are for the bins' own inputs.
    const size_t first = net.widths[0];
    const float* firstBias = net.weights + first * net.inputs;
    float bias[kMaxMaskWidth];
    for (size_t u = 0; u < first; ++u) {
        const float* row = net.weights + u * net.inputs;
        float b = firstBias[u];
        for (size_t i = 0; i < sharedCount; ++i) b += row[own + i] * shared[i];
        bias[u] = b;
    }
    const size_t tiles = (count + kMaskTile - 1) / kMaskTile * kMaskTile;
    static const bool hasAvx2 = StemMix::HasAvx2();
    if (wide && hasAvx2) {
        EvaluateMaskTilesAvx2(net, features, stride, tiles, own, bias, masks);
    } else {
        EvaluateTiles(net, features, stride, tiles, own, bias, masks);
    }
    float* m0 = masks;
    float* m1 = masks + stride;
    float* m2 = masks + 2 * stride;
    float* m3 = masks + 3 * stride;
    for (size_t k = 0; k < count; ++k) {
        const float top = std::max(std::max(m0[k], m1[k]), std::max(m2[k], m3[k]));
        const float e0 = PortableExpNonPositive(m0[k] - top);
        const float e1 = PortableExpNonPositive(m1[k] - top);
        const float e2 = PortableExpNonPositive(m2[k] - top);
        const float e3 = PortableExpNonPositive(m3[k] - top);
        const float per = 1.0f / (((e0 + e1) + e2) + e3);
        m0[k] = e0 * per;
        m1[k] = e1 * per;
        m2[k] = e2 * per;
        m3[k] = e3 * per;
    }
}

}  // namespace Trackloom
