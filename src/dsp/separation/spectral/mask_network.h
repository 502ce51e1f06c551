// A small network that turns a bin's shape cues into the four stems' masks.
//
// Each bin of a frame is described by a few numbers between 0 and 1 that say how it stands
// against its neighbours in time and frequency and between the two channels (see the
// spectral separator). Layers of rectified sums turn them into four scores, and the masks
// are the scores' softmax, so they add up to one in every bin.
//
// The weights come from training on synthetic multitracks whose true stems are known
// (tools/mask_training); they are compiled in, and a build evaluates them with plain float
// sums in a fixed order, so every platform gets the same bits.
#pragma once

#include <cstddef>

namespace Trackloom::separation::spectral {

constexpr size_t kMaskOutputs = 4;  // vocals, drums, bass, other
constexpr size_t kMaxMaskLayers = 4;
constexpr size_t kMaxMaskWidth = 256;  // units in any one layer

struct MaskNetwork {
    size_t inputs = 0;
    size_t layers = 0;                   // hidden layers, at most kMaxMaskLayers
    size_t widths[kMaxMaskLayers] = {};  // their widths
    // Per hidden layer, then the output layer: its rows of weights (one row per unit, one
    // weight per unit of the layer before) and then its biases.
    const float* weights = nullptr;
};

// The network trained for the spectral separator.
const MaskNetwork& TrainedMaskNetwork();

// Bins are evaluated in tiles of this many.
constexpr size_t kMaskTile = 32;

// Masks for `count` bins. The network's inputs are net.inputs - sharedCount rows of
// `stride` floats in `features` (one row per cue, one column per bin), then the sharedCount
// values of `shared`, the same for every bin. `masks` has room for kMaskOutputs rows of
// `stride`. `stride` is at least `count` rounded up to a whole tile, and the features past
// `count` are finite (their masks are worked out too, and not used). Columns are
// independent: a bin's masks do not depend on the bins evaluated with it. `wide` lets
// the evaluation use AVX2 where the processor has it; the masks are the same bits.
void EvaluateMaskNetwork(const MaskNetwork& net, const float* features, size_t stride, size_t count,
                         const float* shared, size_t sharedCount, float* masks, bool wide = true);

}  // namespace Trackloom::separation::spectral
