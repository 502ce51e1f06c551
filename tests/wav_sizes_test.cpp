// Inputs whose header and data disagree on the length: RF64 and BW64, headers never
// finished, input that ends before its declared size. The audio that is there is processed,
// and the user is told when it is not what the header declared.
#include <gtest/gtest.h>

#include <sstream>

#include "app/commands.h"
#include "streaming_support.h"
#include "test_support.h"

using namespace Trackloom;
using namespace TrackloomTest;
using StreamingTest::expectSameStems;

namespace {

constexpr size_t kFrames = 20000;  // stereo: more than one block of the split

Bytes stereoSong() {
    return buildS16Wav(makeTestSignal(2 * kFrames, 7), 2);
}

// `plain` (a 44-byte header, then the samples) as RF64 or BW64: every 32-bit size all ones
// and the real ones in ds64, whose table also sizes a JUNK chunk marked the same way.
Bytes widen(const Bytes& plain, const char* tag) {
    const Bytes junk = {'j', 'u', 'n', 'k', '!'};
    const size_t dataBytes = plain.size() - 44;
    Bytes b;
    putTag(b, tag);
    putLe(b, 0xFFFFFFFF, 4);
    putTag(b, "WAVE");
    putTag(b, "ds64");
    putLe(b, 28 + 12, 4);
    putLe(b, 4 + 48 + 24 + 14 + 8 + dataBytes, 8);  // RIFF size
    putLe(b, dataBytes, 8);
    putLe(b, dataBytes / 4, 8);  // frames
    putLe(b, 1, 4);              // table entries
    putTag(b, "JUNK");
    putLe(b, junk.size(), 8);
    b.insert(b.end(), plain.begin() + 12, plain.begin() + 36);  // the fmt chunk
    putTag(b, "JUNK");
    putLe(b, 0xFFFFFFFF, 4);
    b.insert(b.end(), junk.begin(), junk.end());
    b.push_back(0);  // pad byte
    putTag(b, "data");
    putLe(b, 0xFFFFFFFF, 4);
    b.insert(b.end(), plain.begin() + 44, plain.end());
    return b;
}

// Sets the RIFF and data sizes of a 44-byte header.
Bytes withSizes(Bytes wav, uint32_t riff, uint32_t data) {
    for (int i = 0; i < 4; ++i) {
        wav[4 + i] = static_cast<unsigned char>(riff >> (8 * i));
        wav[40 + i] = static_cast<unsigned char>(data >> (8 * i));
    }
    return wav;
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome split(const std::string& input, const std::string& dir) {
    CaptureOutput capture;
    const int status = TrackloomApp::RunSplit(input, dir);
    return {status, capture.out(), capture.err()};
}

Outcome bpm(const std::string& input) {
    CaptureOutput capture;
    const int status = TrackloomApp::RunBpm(input);
    return {status, capture.out(), capture.err()};
}

uint64_t framesRead(const Bytes& wav, WavReader& reader) {
    std::istringstream in(std::string(wav.begin(), wav.end()));
    EXPECT_EQ(reader.open(in), WavStatus::Ok);
    std::vector<float> block(2 * 4096);
    while (reader.readFrames(block.data(), 4096) > 0) {
    }
    return reader.framesRead();
}

}  // namespace

TEST(WavSizes, Rf64AndBw64SplitLikeTheirPlainTwin) {
    TempDir dir;
    writeFile(dir.file("plain.wav"), stereoSong());
    ASSERT_EQ(split(dir.file("plain.wav"), dir.path().string()).status, 0);
    for (const char* tag : {"RF64", "BW64"}) {
        const std::string out = dir.file(tag);
        std::filesystem::create_directory(out);
        writeFile(dir.file("wide.wav"), widen(stereoSong(), tag));
        const Outcome run = split(dir.file("wide.wav"), out);
        EXPECT_EQ(run.status, 0) << tag;
        EXPECT_EQ(run.err, "") << tag;
        expectSameStems(dir.path().string(), out);
    }
    // Streamed to a pipe, ds64 is left at zero: the data runs to the end, and no warning.
    Bytes piped = widen(stereoSong(), "RF64");
    std::fill(piped.begin() + 20, piped.begin() + 44, 0);
    WavReader reader;
    EXPECT_EQ(framesRead(piped, reader), kFrames);
    EXPECT_EQ(reader.declaredFrameCount(), WavReader::kUnknownFrameCount);
    EXPECT_FALSE(reader.endedEarly() || reader.headerUnfinished());
}

TEST(WavSizes, UnfinishedHeaderIsReadToTheEndWithAWarning) {
    TempDir dir;
    // Sizes left at zero, or at this program's own placeholder (a RIFF size of 36).
    for (uint32_t riff : {0u, 36u}) {
        const Bytes wav = withSizes(stereoSong(), riff, 0);
        writeFile(dir.file("rec.wav"), wav);
        const std::string warning = "Warning: " + dir.file("rec.wav") +
                                    " has an unfinished header: read 20000 frames to the end, "
                                    "its header declared 0\n";
        const Outcome splitRun = split(dir.file("rec.wav"), dir.path().string());
        EXPECT_EQ(splitRun.status, 0);
        EXPECT_EQ(splitRun.err, warning);
        EXPECT_EQ(std::filesystem::file_size(dir.file("bass.wav")), 44 + 4 * kFrames);
        const Outcome bpmRun = bpm(dir.file("rec.wav"));
        EXPECT_EQ(bpmRun.status, 0);
        EXPECT_EQ(bpmRun.err, warning);
        WavReader piped;
        EXPECT_EQ(framesRead(wav, piped), kFrames) << "through a pipe";
        EXPECT_TRUE(piped.headerUnfinished());
    }
    // An empty data chunk that the RIFF size shows to be followed by another is just empty.
    WavSpec empty;
    Bytes wav = buildWav(empty);
    const Bytes trailer = {'L', 'I', 'S', 'T', 2, 0, 0, 0, 1, 2};
    wav.insert(wav.end(), trailer.begin(), trailer.end());
    wav = withSizes(wav, static_cast<uint32_t>(wav.size() - 8), 0);
    WavReader reader;
    EXPECT_EQ(framesRead(wav, reader), 0u);
}

TEST(WavSizes, InputEndingEarlyIsProcessedWithAWarning) {
    TempDir dir;
    const Bytes whole = stereoSong();
    // Cut after 15000 frames and a half.
    const Bytes cut(whole.begin(), whole.begin() + 44 + 4 * 15000 + 2);
    writeFile(dir.file("cut.wav"), cut);
    const std::string warning =
        "Warning: " + dir.file("cut.wav") +
        " ended early: read 15000 frames of the 20000 its header declared\n";
    const Outcome splitRun = split(dir.file("cut.wav"), dir.path().string());
    EXPECT_EQ(splitRun.status, 0);
    EXPECT_EQ(splitRun.err, warning);
    EXPECT_EQ(std::filesystem::file_size(dir.file("drums.wav")), 44u + 4 * 15000);
    const Outcome bpmRun = bpm(dir.file("cut.wav"));
    EXPECT_EQ(bpmRun.status, 0);
    EXPECT_EQ(bpmRun.err, warning);
    EXPECT_NE(bpmRun.out.find("Estimated Key: "), std::string::npos);

    // Only once the data has ended is it known to have ended early; a pipe cut short and a
    // whole file tell apart too.
    std::istringstream in(std::string(cut.begin(), cut.end()));
    WavReader reader;
    ASSERT_EQ(reader.open(in), WavStatus::Ok);
    std::vector<float> block(2 * 15000);
    EXPECT_EQ(reader.readFrames(block.data(), 1000), 1000u);
    EXPECT_FALSE(reader.endedEarly());
    EXPECT_EQ(reader.readFrames(block.data(), 15000), 14000u);
    EXPECT_TRUE(reader.endedEarly());
    EXPECT_EQ(reader.declaredFrameCount(), kFrames);
    WavReader wholeReader;
    EXPECT_EQ(framesRead(whole, wholeReader), kFrames);
    EXPECT_FALSE(wholeReader.endedEarly() || wholeReader.headerUnfinished());
    writeFile(dir.file("whole.wav"), whole);
    EXPECT_EQ(split(dir.file("whole.wav"), dir.path().string()).err, "");
}
