// The block-streaming split must give exactly the stems of the whole-buffer path, however
// the input is cut into blocks and wherever the outputs go.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "app/commands/bpm_command.h"
#include "app/commands/split_command.h"
#include "app/reports/reports.h"
#include "dsp/separation/filter/stem_separator.h"
#include "test_support.h"

namespace {

using namespace TrackloomTest;
using Trackloom::io::SampleFormat;
using Trackloom::io::WavReader;
using Trackloom::io::WavStatus;
using Trackloom::io::WavWriter;
using Trackloom::io::WriteStatus;
using Trackloom::separation::filter::StemSeparator;

// Block sizes that are degenerate (1), odd and small (7), the program's own (4096), and
// larger than the reader's and the writer's internal blocks without dividing them (5000).
constexpr size_t kBlockSizes[] = {1, 7, 4096, 5000};
// Long enough that every block size above ends on a partial block.
constexpr size_t kFrames = 2 * 5000 + 777;

// Reader -> separator -> four writers, every stage at `block` frames.
void splitByBlocks(WavReader& reader, size_t block, const std::string& dir) {
    const auto format = reader.format();
    const auto channels = static_cast<size_t>(format.channels);
    StemSeparator separator(format.sampleRate, format.channels);
    std::vector<float> in(block * channels);
    std::array<std::vector<float>, 4> out;
    for (auto& o : out) o.resize(block * channels);
    std::array<WavWriter, 4> writers;
    for (size_t k = 0; k < 4; ++k) {
        ASSERT_EQ(writers[k].open(dir + "/" + kStems[k], format.sampleRate, format.channels,
                                  reader.frameCount()),
                  WriteStatus::Ok);
    }
    while (size_t n = reader.readFrames(in.data(), block)) {
        ASSERT_LE(n, block);
        separator.process(in.data(), n, out[0].data(), out[1].data(), out[2].data(), out[3].data());
        for (size_t k = 0; k < 4; ++k) ASSERT_TRUE(writers[k].writeFrames(out[k].data(), n));
    }
    for (auto& w : writers) ASSERT_TRUE(w.finish());
}

class StreamingSplit : public ScratchDir {};

TEST_F(StreamingSplit, MatchesWholeBufferPathForMonoStereoAndSixChannels) {
    for (SampleFormat format : {SampleFormat::S16, SampleFormat::F32}) {
        for (int32_t channels : {1, 2, 6}) {
            SCOPED_TRACE(::testing::Message()
                         << channels << " channels, format " << static_cast<int>(format));
            const std::string tag =
                std::to_string(channels) + "_" + std::to_string(static_cast<int>(format));
            const std::string input = path("in" + tag + ".wav");
            writeWav(input, format, 44100, channels, synthesize(44100, channels, 3 * 4096 + 1234));
            const std::string streamed = makeDir("stream" + tag);
            const std::string whole = makeDir("whole" + tag);
            ASSERT_EQ(TrackloomApp::commands::RunSplit(input, streamed), 0);
            splitWholeBuffer(input, whole);
            expectSameStems(streamed, whole);
        }
    }
}

TEST_F(StreamingSplit, AnyBlockSizeGivesTheWholeBufferStems) {
    const SampleFormat formats[] = {SampleFormat::U8,  SampleFormat::S16, SampleFormat::S24,
                                    SampleFormat::S32, SampleFormat::F32, SampleFormat::F64};
    int32_t channels = 1;
    for (SampleFormat format : formats) {
        channels = channels % 6 + 1;  // 2, 3, 4, 5, 6, 1 across the formats
        const std::string tag =
            std::to_string(static_cast<int>(format)) + "_" + std::to_string(channels);
        const std::vector<float> samples = synthesize(48000, channels, kFrames);
        const std::string input = path("in" + tag + ".wav");
        writeWav(input, format, 48000, channels, samples);
        const std::string whole = makeDir("whole" + tag);
        splitWholeBuffer(input, whole);

        // The same samples behind a pipe-style header, read from memory: the reader must
        // never seek and must run to the end of the stream.
        std::string streamBytes =
            wavHeader(format, 48000, channels, 0, {/*unknownSizes=*/true, /*listChunk=*/true});
        streamBytes += encodeSamples(format, samples.data(), samples.size());

        for (size_t block : kBlockSizes) {
            SCOPED_TRACE(::testing::Message()
                         << "format " << static_cast<int>(format) << ", " << channels
                         << " channels, " << block << "-frame blocks");
            WavReader fromFile;
            ASSERT_EQ(fromFile.open(input), WavStatus::Ok);
            EXPECT_EQ(fromFile.frameCount(), kFrames);
            const std::string fileDir = makeDir("file" + tag + "_" + std::to_string(block));
            splitByBlocks(fromFile, block, fileDir);
            expectSameStems(fileDir, whole);

            std::istringstream stream(streamBytes);
            WavReader fromStream;
            ASSERT_EQ(fromStream.open(stream), WavStatus::Ok);
            EXPECT_EQ(fromStream.frameCount(), WavReader::kUnknownFrameCount);
            const std::string streamDir = makeDir("pipe" + tag + "_" + std::to_string(block));
            splitByBlocks(fromStream, block, streamDir);
            expectSameStems(streamDir, whole);
        }
    }
}

// Splitting into the input's own directory, under one of the stem names, must still read
// the original input to the end: compare with a split of an untouched copy.
TEST_F(StreamingSplit, InPlaceSplitDerivesEveryStemFromTheOriginalInput) {
    const std::string original = path("original.wav");
    writeWav(original, SampleFormat::S16, 44100, 2, synthesize(44100, 2, 5 * 4096 + 99));
    const std::string ref = makeDir("ref");
    ASSERT_EQ(TrackloomApp::commands::RunSplit(original, ref), 0);

    // First and last stem to be written: either way nothing may replace the input early.
    for (const char* name : {"vocals.wav", "other.wav"}) {
        SCOPED_TRACE(name);
        const std::string out = makeDir(std::string("out_") + name);
        fs::copy_file(original, out + "/" + name);
        ASSERT_EQ(TrackloomApp::commands::RunSplit(out + "/" + name, out), 0);
        expectSameStems(out, ref);
        EXPECT_TRUE(strayFiles(out).empty());
    }
}

class StreamingBpm : public ScratchDir {};

// --bpm reads the file block by block; what it prints must be what the whole-buffer
// estimators say about the whole file.
TEST_F(StreamingBpm, PrintsTheWholeBufferEstimates) {
    for (int32_t channels : {1, 2, 6}) {
        SCOPED_TRACE(::testing::Message() << channels << " channels");
        const std::string input = path("beat" + std::to_string(channels) + ".wav");
        writeWav(input, SampleFormat::S16, 44100, channels,
                 synthesize(44100, channels, 12 * 44100 + 333));
        const auto [status, out, err] =
            captureRun([&] { return TrackloomApp::commands::RunBpm(input); });
        ASSERT_EQ(status, 0) << err;

        const Trackloom::AudioBuffer whole = Trackloom::AudioDSP::LoadWav(input);
        const auto expected = captureRun([&] {
            TrackloomApp::reports::PrintEstimates(std::cout,
                                                  Trackloom::AudioDSP::EstimateBPM(whole),
                                                  Trackloom::AudioDSP::EstimateKey(whole));
            return 0;
        });
        EXPECT_EQ(out, expected.out);
    }

    // A file that holds no audio is still a failure to read, as when it was loaded whole.
    const std::string empty = path("empty.wav");
    writeWav(empty, SampleFormat::S16, 44100, 2, {});
    const auto [status, out, err] =
        captureRun([&] { return TrackloomApp::commands::RunBpm(empty); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(
        err,
        "Failed to read audio file: " + empty +
            "\n  the file holds no audio: its data chunk is empty or shorter than one frame\n");
}

}  // namespace
