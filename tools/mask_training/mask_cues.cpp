// Training aid for the spectral separator's mask network; not part of the program.
//
//   mask_cues cues MIX OUT EVERY          writes the cues of every EVERY-th frame of MIX
//   mask_cues split MIX OUT [WEIGHTS]     separates MIX with the compiled-in network, or
//                                         with WEIGHTS, into OUT.{vocals,drums,bass,other}.f32
//   mask_cues stems                       prints the engine's stems in the order of its masks,
//                                         one name a line
//
// Cue files: eight int32 (cue count, frame cue count, columns, frame length, hop, channels,
// context bands, context inputs), the columns' bins as uint32, their context bands as
// uint32, then per frame written its uint64 number, its frame cues as float32, its band
// context (context-input rows of context-bands float32) and cue-count rows of columns
// float32. Frame j covers input samples [(j + 1) hop - length, (j + 1) hop). Stems are raw
// interleaved float32, as long as MIX.
// Weight files: int32 count, count int32 layer sizes (inputs, hidden...), int32 context
// count, that many int32 sizes of the band context (inputs, layers...; none for no
// context), then the weights and then the context's weights as float32 in the order
// MaskNetwork keeps them.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "dsp/io/audio_reader.h"
#include "dsp/separation/spectral/spectral_separator.h"
#include "dsp/stems.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace Trackloom::separation::spectral;

namespace {

struct CueWriter {
    std::ofstream out;
    uint64_t every = 1;
    size_t rows = 0;
    size_t columns = 0;
};

void WriteCues(void* context, uint64_t frame, const float* cues, size_t stride,
               const float* frameCues, const float* bandContext) {
    auto* w = static_cast<CueWriter*>(context);
    if (frame % w->every != 0) return;
    w->out.write(reinterpret_cast<const char*>(&frame), sizeof frame);
    w->out.write(reinterpret_cast<const char*>(frameCues),
                 static_cast<std::streamsize>(SpectralSeparator::kFrameCueCount * sizeof(float)));
    for (size_t r = 0; r < SpectralSeparator::kContextInputs; ++r) {
        w->out.write(
            reinterpret_cast<const char*>(bandContext + r * kMaskTile),
            static_cast<std::streamsize>(SpectralSeparator::kContextBands * sizeof(float)));
    }
    for (size_t r = 0; r < w->rows; ++r) {
        w->out.write(reinterpret_cast<const char*>(cues + r * stride),
                     static_cast<std::streamsize>(w->columns * sizeof(float)));
    }
}

// A count and that many layer sizes, each within 1..kMaxMaskWidth.
bool ReadSizes(std::ifstream& in, size_t most, std::vector<int32_t>& sizes) {
    int32_t count = 0;
    if (!in.read(reinterpret_cast<char*>(&count), sizeof count) || count < 0 ||
        count > static_cast<int32_t>(most)) {
        return false;
    }
    sizes.resize(static_cast<size_t>(count));
    if (!in.read(reinterpret_cast<char*>(sizes.data()),
                 static_cast<std::streamsize>(sizes.size() * sizeof(int32_t)))) {
        return false;
    }
    for (const int32_t s : sizes) {
        if (s < 1 || s > static_cast<int32_t>(kMaxMaskWidth)) return false;
    }
    return true;
}

bool LoadNetwork(const std::string& path, MaskNetwork& net, std::vector<float>& store) {
    std::ifstream in(path, std::ios::binary);
    std::vector<int32_t> sizes, context;
    if (!ReadSizes(in, kMaxMaskLayers + 1, sizes) || sizes.size() < 2 ||
        !ReadSizes(in, kMaxContextLayers + 1, context) || context.size() == 1) {
        return false;
    }
    net.inputs = static_cast<size_t>(sizes[0]);
    net.layers = sizes.size() - 1;
    if (net.inputs != SpectralSeparator::kCueCount + SpectralSeparator::kFrameCueCount) {
        return false;  // trained on other cues
    }
    if (!context.empty() && context[0] != static_cast<int32_t>(SpectralSeparator::kContextInputs)) {
        return false;  // trained on another band context
    }
    net.contextInputs = context.empty() ? 0 : static_cast<size_t>(context[0]);
    net.contextLayers = context.empty() ? 0 : context.size() - 1;
    size_t contextTotal = 0, before = net.contextInputs;
    for (size_t i = 0; i < net.contextLayers; ++i) {
        net.contextWidths[i] = static_cast<size_t>(context[i + 1]);
        contextTotal += net.contextWidths[i] * before + net.contextWidths[i];
        before = net.contextWidths[i];
    }
    size_t total = 0;
    before = net.inputs + net.contextOutputs();
    for (size_t i = 0; i < net.layers; ++i) {
        net.widths[i] = static_cast<size_t>(sizes[i + 1]);
        total += net.widths[i] * before + net.widths[i];
        before = net.widths[i];
    }
    total += kMaskOutputs * before + kMaskOutputs;
    store.resize(total + contextTotal);
    if (!in.read(reinterpret_cast<char*>(store.data()),
                 static_cast<std::streamsize>(store.size() * sizeof(float)))) {
        return false;
    }
    net.weights = store.data();
    net.contextWeights = store.data() + total;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The trainer orders its targets by this list, so that the network's outputs are the
    // stems the engine takes its masks to be.
    if (argc == 2 && std::string(argv[1]) == "stems") {
        for (const StemKind stem : kEngineStems) std::cout << StemName(stem) << "\n";
        return std::cout.flush() ? 0 : 1;
    }
    const bool known =
        argc >= 2 && (std::string(argv[1]) == "cues" || std::string(argv[1]) == "split");
    if (!known || (argc < 5 && !(argc == 4 && std::string(argv[1]) == "split"))) {
        std::cerr << "usage: mask_cues cues MIX OUT EVERY | split MIX OUT [WEIGHTS] | stems\n";
        return 2;
    }
    const std::string mode = argv[1];
    OpenedAudio opened = OpenAudio(argv[2]);
    if (!opened.reader) {
        std::cerr << "cannot read " << argv[2] << "\n";
        return 1;
    }
    AudioReader& reader = *opened.reader;
    const AudioFormat format = reader.format();
    const size_t C = static_cast<size_t>(format.channels);
    MaskNetwork loaded;
    std::vector<float> store;
    if (mode == "split" && argc >= 5 && !LoadNetwork(argv[4], loaded, store)) {
        std::cerr << "cannot read weights " << argv[4] << "\n";
        return 1;
    }
    const MaskNetwork& net = (mode == "split" && argc >= 5) ? loaded : TrainedMaskNetwork();
    SpectralSeparator separator(format.sampleRate, format.channels, net);
    CueWriter cues;
    std::array<std::ofstream, 4> stems;
    const std::string out = argv[3];
    if (mode == "cues") {
        cues.out.open(out, std::ios::binary);
        cues.every = std::strtoull(argv[4], nullptr, 10);
        cues.rows = SpectralSeparator::kCueCount;
        const int32_t header[8] = {static_cast<int32_t>(SpectralSeparator::kCueCount),
                                   static_cast<int32_t>(SpectralSeparator::kFrameCueCount),
                                   static_cast<int32_t>(separator.columns().size()),
                                   static_cast<int32_t>(separator.frameLength()),
                                   static_cast<int32_t>(separator.hop()),
                                   static_cast<int32_t>(C),
                                   static_cast<int32_t>(SpectralSeparator::kContextBands),
                                   static_cast<int32_t>(SpectralSeparator::kContextInputs)};
        cues.out.write(reinterpret_cast<const char*>(header), sizeof header);
        cues.columns = separator.columns().size();
        cues.out.write(reinterpret_cast<const char*>(separator.columns().data()),
                       static_cast<std::streamsize>(cues.columns * sizeof(uint32_t)));
        cues.out.write(reinterpret_cast<const char*>(separator.columnBands().data()),
                       static_cast<std::streamsize>(cues.columns * sizeof(uint32_t)));
        separator.setCueTap(WriteCues, &cues);
    } else {
        for (size_t s = 0; s < 4; ++s) {
            stems[s].open(out + "." + StemName(kEngineStems[s]) + ".f32", std::ios::binary);
        }
    }
    const size_t block = 65536;
    std::vector<float> in(block * C);
    std::array<std::vector<float>, 4> got;
    for (auto& g : got) g.resize((block + separator.latency()) * C);
    const std::array<float*, 4> at = {got[0].data(), got[1].data(), got[2].data(), got[3].data()};
    const auto keep = [&](size_t frames) {
        if (mode == "cues") return;
        for (size_t s = 0; s < 4; ++s) {
            stems[s].write(reinterpret_cast<const char*>(got[s].data()),
                           static_cast<std::streamsize>(frames * C * sizeof(float)));
        }
    };
    for (;;) {
        const size_t n = reader.readFrames(in.data(), block);
        if (n == 0) break;
        keep(separator.process(in.data(), n, at));
    }
    keep(separator.finish(at));
    bool written = mode == "cues" ? static_cast<bool>(cues.out.flush()) : true;
    for (auto& s : stems) {
        if (mode == "split") written = written && s.is_open() && static_cast<bool>(s.flush());
    }
    if (!written) {
        std::cerr << "cannot write " << out << "\n";
        return 1;
    }
    return 0;
}
