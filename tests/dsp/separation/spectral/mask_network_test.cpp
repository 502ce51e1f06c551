// The mask network's evaluation against a plain double-precision reference and against the
// trainer's own forward pass.
#include "dsp/separation/spectral/mask_network.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dsp/separation/spectral/spectral_separator.h"
#include "test_support.h"
#include "trainer_fixture.h"

namespace Trackloom::separation::spectral {
namespace {

using TrackloomTest::floatBits;

// Two hidden layers over three inputs, the last of them shared by all bins.
TEST(MaskNetwork, MatchesADirectEvaluationInEveryColumn) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> any(-1.0f, 1.0f);
    const size_t inputs = 3, shared = 1, own = inputs - shared;
    const size_t widths[2] = {5, 4};
    std::vector<float> weights(5 * 3 + 5 + 4 * 5 + 4 + kMaskOutputs * 4 + kMaskOutputs);
    for (float& w : weights) w = any(rng);
    MaskNetwork net;
    net.inputs = inputs;
    net.layers = 2;
    net.widths[0] = widths[0];
    net.widths[1] = widths[1];
    net.weights = weights.data();

    const size_t count = 37, stride = 2 * kMaskTile;  // a tile and a part
    std::vector<float> features(own * stride, 0.0f);
    for (size_t k = 0; k < count; ++k) {
        for (size_t i = 0; i < own; ++i) features[i * stride + k] = any(rng);
    }
    const float common = 0.375f;
    std::vector<float> masks(kMaskOutputs * stride, -1.0f);
    EvaluateMaskNetwork(net, features.data(), stride, count, &common, shared, {}, masks.data(),
                        false);

    for (size_t k = 0; k < count; ++k) {
        double layer0[5], layer1[4], score[kMaskOutputs];
        const float* w = weights.data();
        for (size_t u = 0; u < 5; ++u) {
            double sum = w[5 * 3 + u] + w[u * 3 + 2] * static_cast<double>(common);
            for (size_t i = 0; i < own; ++i) sum += w[u * 3 + i] * features[i * stride + k];
            layer0[u] = std::max(sum, 0.0);
        }
        w += 5 * 3 + 5;
        for (size_t u = 0; u < 4; ++u) {
            double sum = w[4 * 5 + u];
            for (size_t i = 0; i < 5; ++i) sum += w[u * 5 + i] * layer0[i];
            layer1[u] = std::max(sum, 0.0);
        }
        w += 4 * 5 + 4;
        double total = 0.0;
        for (size_t o = 0; o < kMaskOutputs; ++o) {
            double sum = w[kMaskOutputs * 4 + o];
            for (size_t i = 0; i < 4; ++i) sum += w[o * 4 + i] * layer1[i];
            score[o] = std::exp(sum);
            total += score[o];
        }
        float masksSum = 0.0f;
        for (size_t o = 0; o < kMaskOutputs; ++o) {
            EXPECT_NEAR(masks[o * stride + k], score[o] / total, 2e-6) << "bin " << k;
            masksSum += masks[o * stride + k];
        }
        EXPECT_NEAR(masksSum, 1.0f, 1e-6f);
    }

    // A bin's masks are its own: the same bits whichever tile and neighbours it has, and
    // from the baseline instructions as from AVX2.
    const size_t tile = kMaskTile;
    std::vector<float> alone(own * tile, 0.0f), aloneMasks(kMaskOutputs * tile);
    for (size_t i = 0; i < own; ++i) alone[i * tile + 3] = features[i * stride + 30];
    EvaluateMaskNetwork(net, alone.data(), tile, 4, &common, shared, {}, aloneMasks.data(), false);
    std::vector<float> wide(kMaskOutputs * stride);
    EvaluateMaskNetwork(net, features.data(), stride, count, &common, shared, {}, wide.data(),
                        true);
    for (size_t o = 0; o < kMaskOutputs; ++o) {
        EXPECT_EQ(aloneMasks[o * tile + 3], masks[o * stride + 30]);
        for (size_t k = 0; k < count; ++k) {
            EXPECT_EQ(floatBits(wide[o * stride + k]), floatBits(masks[o * stride + k]));
        }
    }
}

// The compiled-in weights must have been trained on the cues and band context the separator
// computes now.
TEST(MaskNetwork, TrainedNetworkFitsTheSeparatorAndTheEvaluator) {
    const MaskNetwork& net = TrainedMaskNetwork();
    EXPECT_EQ(net.inputs, SpectralSeparator::kCueCount + SpectralSeparator::kFrameCueCount);
    ASSERT_GE(net.layers, 1u);
    ASSERT_LE(net.layers, kMaxMaskLayers);
    for (size_t i = 0; i < net.layers; ++i) {
        EXPECT_GE(net.widths[i], 1u);
        EXPECT_LE(net.widths[i], kMaxMaskWidth);
    }
    ASSERT_LE(net.contextLayers, kMaxContextLayers);
    if (net.contextLayers > 0) {
        EXPECT_EQ(net.contextInputs, SpectralSeparator::kContextInputs);
    }
    for (size_t i = 0; i < net.contextLayers; ++i) EXPECT_LE(net.contextWidths[i], kMaxMaskWidth);
}

// The training framework's own forward pass (the fixture the trainer writes) and the
// engine's evaluation agree: the weights' order, the shared inputs' and the band context's
// places and the softmax are the same on both sides; the two instruction sets give the same
// bits.
TEST(MaskNetwork, AgreesWithTheTrainersForwardPass) {
    namespace fx = TrackloomTest::trainer_fixture;
    MaskNetwork net;
    net.inputs = fx::kInputs;
    net.layers = fx::kLayers;
    for (size_t i = 0; i < fx::kLayers; ++i) net.widths[i] = fx::kWidths[i];
    net.weights = fx::kWeights;
    net.contextInputs = fx::kContextInputs;
    net.contextLayers = fx::kContextLayers;
    for (size_t i = 0; i < fx::kContextLayers; ++i) net.contextWidths[i] = fx::kContextWidths[i];
    net.contextWeights = fx::kContextWeights;
    const size_t own = fx::kInputs - fx::kShared;
    const size_t stride = kMaskTile;
    std::vector<float> features(own * stride, 0.5f);
    for (size_t r = 0; r < own; ++r) {
        for (size_t b = 0; b < fx::kBins; ++b)
            features[r * stride + b] = fx::kOwnInputs[r * fx::kBins + b];
    }
    std::vector<float> context(fx::kContextInputs * kMaskTile, 0.0f);
    for (size_t r = 0; r < fx::kContextInputs; ++r) {
        for (size_t b = 0; b < fx::kBands; ++b)
            context[r * kMaskTile + b] = fx::kContextInputsByBand[r * fx::kBands + b];
    }
    const BandContext bands{context.data(), fx::kBinBands};
    std::vector<float> narrow(kMaskOutputs * stride), wide(kMaskOutputs * stride);
    EvaluateMaskNetwork(net, features.data(), stride, fx::kBins, fx::kSharedInputs, fx::kShared,
                        bands, narrow.data(), false);
    EvaluateMaskNetwork(net, features.data(), stride, fx::kBins, fx::kSharedInputs, fx::kShared,
                        bands, wide.data(), true);
    for (size_t o = 0; o < kMaskOutputs; ++o) {
        for (size_t b = 0; b < fx::kBins; ++b) {
            EXPECT_NEAR(narrow[o * stride + b], fx::kMasks[o * fx::kBins + b], 2e-6)
                << "output " << o << ", bin " << b;
            EXPECT_EQ(floatBits(wide[o * stride + b]), floatBits(narrow[o * stride + b]));
        }
    }

    // A tile whose bins all lie in one band takes that band's values without the per-bin
    // gather: each bin, copied across a whole tile of its band, keeps its bits.
    for (size_t b = 0; b < fx::kBins; ++b) {
        std::vector<float> copies(own * stride);
        for (size_t r = 0; r < own; ++r)
            std::fill_n(copies.begin() + r * stride, stride, features[r * stride + b]);
        const std::vector<uint32_t> oneBand(kMaskTile, fx::kBinBands[b]);
        for (const bool useWide : {false, true}) {
            std::vector<float> masks(kMaskOutputs * stride);
            EvaluateMaskNetwork(net, copies.data(), stride, kMaskTile, fx::kSharedInputs,
                                fx::kShared, {context.data(), oneBand.data()}, masks.data(),
                                useWide);
            for (size_t o = 0; o < kMaskOutputs; ++o) {
                for (size_t k = 0; k < kMaskTile; ++k) {
                    ASSERT_EQ(floatBits(masks[o * stride + k]), floatBits(narrow[o * stride + b]))
                        << "bin " << b << " copied to column " << k << ", output " << o;
                }
            }
        }
    }
}

}  // namespace
}  // namespace Trackloom::separation::spectral
