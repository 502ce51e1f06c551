// A small network that turns a bin's shape cues into the four stems' masks.
//
// Each bin of a frame is described by a few numbers between 0 and 1 that say how it stands
// against its neighbours in time and frequency and between the two channels (see the
// spectral separator). Layers of rectified sums turn them into four scores, and the masks
// are the scores' softmax, so they add up to one in every bin.
//
// A bin's cues see a few frames and bins around it; what the rest of the spectrum is doing
// over the last and next third of a second comes from a second, smaller network run once
// per band of the frame. It reads a coarse patch of band powers around its band and gives
// a few values that every bin of the band takes as further inputs of the first layer.
//
// The weights come from training on synthetic multitracks whose true stems are known
// (tools/mask_training); they are compiled in, and a build evaluates them with plain float
// sums in a fixed order, so every platform gets the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Trackloom::separation::spectral {

constexpr size_t kMaskOutputs = 4;  // vocals, drums, bass, other
constexpr size_t kMaxMaskLayers = 4;
constexpr size_t kMaxMaskWidth = 256;  // units in any one layer
constexpr size_t kMaxContextLayers = 3;

struct MaskNetwork {
    // The bins' own inputs and the shared ones together (the band context's outputs come
    // after them in the first layer's rows).
    size_t inputs = 0;
    size_t layers = 0;                   // hidden layers, at most kMaxMaskLayers
    size_t widths[kMaxMaskLayers] = {};  // their widths
    // Per hidden layer, then the output layer: its rows of weights (one row per unit, one
    // weight per unit of the layer before) and then its biases.
    const float* weights = nullptr;
    // The band context: its inputs per band, its rectified layers (none: no context) and
    // their weights, laid out as above; the last layer's units are the band's values.
    size_t contextInputs = 0;
    size_t contextLayers = 0;
    size_t contextWidths[kMaxContextLayers] = {};
    const float* contextWeights = nullptr;

    size_t contextOutputs() const {
        return contextLayers > 0 ? contextWidths[contextLayers - 1] : 0;
    }
};

// The network trained for the spectral separator.
const MaskNetwork& TrainedMaskNetwork();

// Bins are evaluated in tiles of this many; the bands of the context all in one tile.
constexpr size_t kMaskTile = 32;
constexpr size_t kMaxContextBands = kMaskTile;

// The band context of one frame: `inputs` holds net.contextInputs rows of kMaskTile floats
// (one row per input, one column per band, the columns of unused bands finite), and each
// bin evaluated belongs to the band `columnBand` gives it.
struct BandContext {
    const float* inputs = nullptr;
    const uint32_t* columnBand = nullptr;
};

// Masks for `count` bins. The network's inputs are net.inputs - sharedCount rows of
// `stride` floats in `features` (one row per cue, one column per bin), then the sharedCount
// values of `shared`, the same for every bin, then the bin's band's context values.
// `masks` has room for kMaskOutputs rows of `stride`. `stride` is at least `count` rounded
// up to a whole tile, and the features past `count` are finite (their masks are worked out
// too, and not used). Columns are independent: a bin's masks do not depend on the bins
// evaluated with it. `wide` lets the evaluation use AVX2 where the processor has it; the
// masks are the same bits.
void EvaluateMaskNetwork(const MaskNetwork& net, const float* features, size_t stride, size_t count,
                         const float* shared, size_t sharedCount, const BandContext& context,
                         float* masks, bool wide = true);

}  // namespace Trackloom::separation::spectral
