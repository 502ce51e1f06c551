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
#include <cstdint>

#include "dsp/separation/spectral/mask_network.h"

namespace Trackloom::separation::spectral {
namespace {

typedef float Lanes __attribute__((vector_size(32)));
// The same lanes read from any float's place (GCC lets vectors alias their element type).
typedef float UnalignedLanes __attribute__((vector_size(32), aligned(4)));
constexpr size_t kLanes = 8;
static_assert(kMaskTile == 4 * kLanes, "a tile is four Lanes");

typedef int IntLanes __attribute__((vector_size(32)));

// The rows of a rectified layer's tile (`rows` rows of kMaskTile) that are above zero in
// some bin, written to `live`; returns how many. A row of zeros adds nothing the next
// layer's sums could tell from its absence: a zero product can at most turn a sum of -0
// into +0, and the rectifier and the softmax make both the same.
inline size_t LiveRows(const float* in, size_t rows, uint16_t* live) {
    size_t count = 0;
    const Lanes zero = {};
    for (size_t i = 0; i < rows; ++i) {
        const auto* row = reinterpret_cast<const UnalignedLanes*>(in + i * kMaskTile);
        const IntLanes above =
            (row[0] > zero) | (row[1] > zero) | (row[2] > zero) | (row[3] > zero);
        int any = 0;
        for (size_t k = 0; k < kLanes; ++k) any |= above[k];
        live[count] = static_cast<uint16_t>(i);
        count += any != 0 ? 1 : 0;
    }
    return count;
}

// out[u][t] = bias[u * biasStride] + sum over i of weights[u * rowLength + i] * in[i][t]
// for a tile's bins, rectified when asked; with `biasTile`, each bin's bias is
// biasTile[u][t] instead. With `live`, only the `inputs` rows it lists are summed (the
// others being zero). The sums stay in registers while the inputs stream past.
inline void TileLayer(const float* weights, size_t rowLength, const float* bias, size_t units,
                      size_t inputs, const float* in, size_t inStride, float* out, size_t outStride,
                      bool rectify, const float* biasTile = nullptr, size_t biasStride = 1,
                      const uint16_t* live = nullptr) {
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
            acc[0] = acc[1] = acc[2] = acc[3] = zero + bias[u * biasStride];
        }
        for (size_t j = 0; j < inputs; ++j) {
            const size_t i = live != nullptr ? live[j] : j;
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
        // The first layer's bias: the shared one, one band's column of bandBias when the
        // whole tile lies in that band (most tiles above the lowest bands), or else each
        // bin's own band's, gathered.
        const float* bias = firstBias;
        size_t biasStride = 1;
        const float* tileBias = nullptr;
        if (bandBias != nullptr) {
            uint32_t band[kMaskTile];
            bool oneBand = true;
            for (size_t t = 0; t < kMaskTile; ++t) {
                band[t] = columnBand[k0 + t < columns ? k0 + t : columns - 1];
                oneBand = oneBand && band[t] == band[0];
            }
            if (oneBand) {
                bias = bandBias + band[0];
                biasStride = kMaskTile;
            } else {
                for (size_t u = 0; u < first; ++u) {
                    const float* from = bandBias + u * kMaskTile;
                    float* to = biasTile + u * kMaskTile;
                    for (size_t t = 0; t < kMaskTile; ++t) to[t] = from[band[t]];
                }
                tileBias = biasTile;
            }
        }
        TileLayer(net.weights, firstRow, bias, first, ownInputs, features + k0, stride, bufferA,
                  kMaskTile, true, tileBias, biasStride);
        const float* w = net.weights + first * firstRow + first;
        float* in = bufferA;
        float* out = bufferB;
        size_t width = first;
        uint16_t live[kMaxMaskWidth];
        for (size_t layer = 1; layer < net.layers; ++layer) {
            const size_t units = net.widths[layer];
            TileLayer(w, width, w + units * width, units, LiveRows(in, width, live), in, kMaskTile,
                      out, kMaskTile, true, nullptr, 1, live);
            w += units * width + units;
            float* done = in;
            in = out;
            out = done;
            width = units;
        }
        TileLayer(w, width, w + kMaskOutputs * width, kMaskOutputs, LiveRows(in, width, live), in,
                  kMaskTile, scores + k0, stride, false, nullptr, 1, live);
    }
}

}  // namespace
}  // namespace Trackloom::separation::spectral
