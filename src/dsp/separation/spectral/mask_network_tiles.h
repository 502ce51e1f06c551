// The mask network's hidden and output layers over whole tiles of bins: one body compiled
// twice, for the baseline instruction set (mask_network.cpp) and for AVX2
// (mask_network_avx2.cpp). Everything here has internal linkage and uses no library
// template, so that neither file's copy can stand in for the other's: the linker could
// otherwise pick the AVX2 copy for callers on any processor.
//
// Lanes are GCC vectors of eight floats; arithmetic on them is lane by lane, each lane
// rounded as a single float would be, so a bin gets the same bits from either copy and
// from any tile it is evaluated in.
#pragma once

#include <cstddef>

#include "dsp/separation/spectral/mask_network.h"

namespace Trackloom::separation::spectral {
namespace {

typedef float Lanes __attribute__((vector_size(32)));
// The same lanes read from any float's place (GCC lets vectors alias their element type).
typedef float UnalignedLanes __attribute__((vector_size(32), aligned(4)));
constexpr size_t kLanes = 8;
static_assert(kMaskTile == 4 * kLanes, "a tile is four Lanes");

// out[u][t] = bias[u] + sum over i of weights[u * rowLength + i] * in[i][t] for a tile's
// bins, rectified when asked; with `biasTile`, each bin's bias is biasTile[u][t] instead.
// The sums stay in registers while the inputs stream past.
inline void TileLayer(const float* weights, size_t rowLength, const float* bias, size_t units,
                      size_t inputs, const float* in, size_t inStride, float* out, size_t outStride,
                      bool rectify, const float* biasTile = nullptr) {
    for (size_t u = 0; u < units; ++u) {
        const float* w = weights + u * rowLength;
        // No function takes or returns Lanes: the baseline build would pass them in memory.
        const Lanes zero = {};
        Lanes acc[4];
        if (biasTile != nullptr) {
            // Loaded straight into the sums: a copy through memory would be made of
            // narrower moves, which the wide loads after it would wait for.
            const auto* row = reinterpret_cast<const UnalignedLanes*>(biasTile + u * kMaskTile);
            for (size_t q = 0; q < 4; ++q) acc[q] = row[q];
        } else {
            acc[0] = acc[1] = acc[2] = acc[3] = zero + bias[u];
        }
        for (size_t i = 0; i < inputs; ++i) {
            const Lanes wi = zero + w[i];
            const float* x = in + i * inStride;
            for (size_t q = 0; q < 4; ++q) {
                Lanes v;
                __builtin_memcpy(&v, x + q * kLanes, sizeof v);
                acc[q] += wi * v;
            }
        }
        if (rectify) {
            for (size_t q = 0; q < 4; ++q) acc[q] = acc[q] > zero ? acc[q] : zero;
        }
        __builtin_memcpy(out + u * outStride, acc, sizeof acc);
    }
}

// The band context of a frame (the bands in the columns of a tile) and then what it adds to
// the first layer of each band's bins: bandBias[u][b], `firstBias` included.
inline void EvaluateContextTile(const MaskNetwork& net, const float* inputs, const float* firstBias,
                                float* bandBias) {
    float bufferA[kMaxMaskWidth * kMaskTile];
    float bufferB[kMaxMaskWidth * kMaskTile];
    const float* w = net.contextWeights;
    const float* in = inputs;
    float* out = bufferA;
    size_t width = net.contextInputs;
    for (size_t layer = 0; layer < net.contextLayers; ++layer) {
        const size_t units = net.contextWidths[layer];
        TileLayer(w, width, w + units * width, units, width, in, kMaskTile, out, kMaskTile, true);
        w += units * width + units;
        in = out;
        out = out == bufferA ? bufferB : bufferA;
        width = units;
    }
    TileLayer(net.weights + net.inputs, net.inputs + width, firstBias, net.widths[0], width, in,
              kMaskTile, bandBias, kMaskTile, false);
}

// The scores (before the softmax) of `count` bins, a whole number of tiles; `firstBias` is
// the first layer's bias with the shared inputs' part added. With `contextInputs` each of
// the `columns` bins takes its band's bias from the context instead (the bins past them the
// last one's).
inline void EvaluateTiles(const MaskNetwork& net, const float* features, size_t stride,
                          size_t count, size_t ownInputs, const float* firstBias,
                          const float* contextInputs, const uint32_t* columnBand, size_t columns,
                          float* scores) {
    float bufferA[kMaxMaskWidth * kMaskTile];
    float bufferB[kMaxMaskWidth * kMaskTile];
    float biasTile[kMaxMaskWidth * kMaskTile];
    float bandBiasStore[kMaxMaskWidth * kMaskTile];
    const float* bandBias = nullptr;
    if (contextInputs != nullptr) {
        EvaluateContextTile(net, contextInputs, firstBias, bandBiasStore);
        bandBias = bandBiasStore;
    }
    const size_t first = net.widths[0];
    const size_t firstRow = net.inputs + net.contextOutputs();
    for (size_t k0 = 0; k0 < count; k0 += kMaskTile) {
        if (bandBias != nullptr) {
            uint32_t band[kMaskTile];
            for (size_t t = 0; t < kMaskTile; ++t)
                band[t] = columnBand[k0 + t < columns ? k0 + t : columns - 1];
            for (size_t u = 0; u < first; ++u) {
                const float* from = bandBias + u * kMaskTile;
                float* to = biasTile + u * kMaskTile;
                for (size_t t = 0; t < kMaskTile; ++t) to[t] = from[band[t]];
            }
        }
        TileLayer(net.weights, firstRow, firstBias, first, ownInputs, features + k0, stride,
                  bufferA, kMaskTile, true, bandBias != nullptr ? biasTile : nullptr);
        const float* w = net.weights + first * firstRow + first;
        float* in = bufferA;
        float* out = bufferB;
        size_t width = first;
        for (size_t layer = 1; layer < net.layers; ++layer) {
            const size_t units = net.widths[layer];
            TileLayer(w, width, w + units * width, units, width, in, kMaskTile, out, kMaskTile,
                      true);
            w += units * width + units;
            float* done = in;
            in = out;
            out = done;
            width = units;
        }
        TileLayer(w, width, w + kMaskOutputs * width, kMaskOutputs, width, in, kMaskTile,
                  scores + k0, stride, false);
    }
}

}  // namespace
}  // namespace Trackloom::separation::spectral
