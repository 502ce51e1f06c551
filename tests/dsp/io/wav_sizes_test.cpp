// Inputs whose header and data disagree on the length: RF64 and BW64, headers never
// finished, input that ends before its declared size. What is there is processed, and the
// user is told when it is not what the header declared.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "app/commands/bpm_command.h"
#include "app/commands/split_command.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

constexpr size_t kFrames = 20000;  // stereo: more than one block of the split
const Bytes kSong = buildS16Wav(makeTestSignal(2 * kFrames, 7), 2);

// kSong as RF64 or BW64: every 32-bit size all ones, the real ones in ds64, whose table
// also sizes a JUNK chunk.
Bytes widen(const char* tag) {
    Bytes b;
    putTag(b, tag);
    putLe(b, 0xFFFFFFFF, 4);
    for (const char* t : {"WAVE", "ds64", "\x28\0\0\0"}) putTag(b, t);
    for (uint64_t size : {uint64_t{0}, uint64_t{4 * kFrames}, uint64_t{kFrames}}) putLe(b, size, 8);
    putLe(b, 1, 4);
    putTag(b, "JUNK");
    putLe(b, 2, 8);
    b.insert(b.end(), kSong.begin() + 12, kSong.begin() + 36);  // the fmt chunk
    for (const char* t : {"JUNK", "\xff\xff\xff\xff", "ab", "data", "\xff\xff\xff\xff"}) {
        b.insert(b.end(), t, t + std::strlen(t));  // "ab" is the JUNK chunk's whole body
    }
    b.insert(b.end(), kSong.begin() + 44, kSong.end());
    return b;
}

// Reads `wav` as from a pipe, to its end.
uint64_t framesFromPipe(const Bytes& wav, WavReader& reader) {
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
    const std::string plain = dir.path().string();
    writeFile(dir.file("plain.wav"), kSong);
    ASSERT_EQ(TrackloomApp::commands::RunSplit(dir.file("plain.wav"), plain), 0);
    for (const char* tag : {"RF64", "BW64"}) {
        std::filesystem::create_directory(dir.file(tag));
        writeFile(dir.file("wide.wav"), widen(tag));
        const Captured split = captureRun(
            [&] { return TrackloomApp::commands::RunSplit(dir.file("wide.wav"), dir.file(tag)); });
        EXPECT_EQ(split.status, 0) << tag;
        EXPECT_EQ(split.err, "") << tag;
        expectSameStems(plain, dir.file(tag));
    }
    // Streamed to a pipe, ds64 is left at zeros: the data runs to the end, and no warning.
    Bytes piped = widen("RF64");
    std::fill(piped.begin() + 20, piped.begin() + 44, 0);
    WavReader reader;
    EXPECT_EQ(framesFromPipe(piped, reader), kFrames);
    EXPECT_EQ(reader.declaredFrameCount(), WavReader::kUnknownFrameCount);
    EXPECT_FALSE(reader.endedEarly() || reader.headerUnfinished());
}

TEST(WavSizes, UnfinishedHeaderIsReadToTheEndWithAWarning) {
    TempDir dir;
    const std::string path = dir.file("rec.wav");
    const std::string warning = "Warning: " + path +
                                " has an unfinished header: read 20000 frames to the end, its "
                                "header declared 0\n";
    // RIFF sizes left at zero, or at this program's own placeholder (36).
    for (unsigned char riff : {0, 36}) {
        Bytes wav = kSong;
        std::fill(wav.begin() + 4, wav.begin() + 8, 0);
        std::fill(wav.begin() + 40, wav.begin() + 44, 0);
        wav[4] = riff;
        writeFile(path, wav);
        // The test signal has no beat, so a line saying so may follow the warning.
        EXPECT_EQ(
            captureRun([&] { return TrackloomApp::commands::RunBpm(path); }).err.rfind(warning, 0),
            0u);
        const Captured split =
            captureRun([&] { return TrackloomApp::commands::RunSplit(path, dir.path().string()); });
        EXPECT_EQ(split.status, 0);
        EXPECT_EQ(split.err, warning);
        EXPECT_EQ(std::filesystem::file_size(dir.file("bass.wav")), 44 + 4 * kFrames);
        WavReader piped;
        EXPECT_EQ(framesFromPipe(wav, piped), kFrames);
        EXPECT_TRUE(piped.headerUnfinished());
    }
    // An empty data chunk that the RIFF size shows to be followed by another is just empty.
    Bytes empty = buildS16Wav({});
    for (unsigned char c : {'L', 'I', 'S', 'T', '\2', '\0', '\0', '\0', 'a', 'b'})
        empty.push_back(c);
    empty[4] = static_cast<unsigned char>(empty.size() - 8);
    WavReader reader;
    EXPECT_EQ(framesFromPipe(empty, reader), 0u);
}

TEST(WavSizes, InputEndingEarlyIsProcessedWithAWarning) {
    TempDir dir;
    const std::string path = dir.file("cut.wav");
    const Bytes cut(kSong.begin(), kSong.begin() + 44 + 4 * 15000 + 2);  // and half a frame
    writeFile(path, cut);
    const std::string warning =
        "Warning: " + path + " ended early: read 15000 frames of the 20000 its header declared\n";
    const Captured bpm = captureRun([&] { return TrackloomApp::commands::RunBpm(path); });
    EXPECT_EQ(bpm.status, 0);
    EXPECT_EQ(bpm.err.rfind(warning, 0), 0u);
    const Captured split =
        captureRun([&] { return TrackloomApp::commands::RunSplit(path, dir.path().string()); });
    EXPECT_EQ(split.status, 0);
    EXPECT_EQ(split.err, warning);
    EXPECT_EQ(std::filesystem::file_size(dir.file("drums.wav")), 44u + 4 * 15000);

    // Known only once the data has ended; a whole input never ends early.
    std::istringstream in(std::string(cut.begin(), cut.end()));
    WavReader reader;
    ASSERT_EQ(reader.open(in), WavStatus::Ok);
    std::vector<float> block(2 * 15000);
    EXPECT_EQ(reader.readFrames(block.data(), 1000), 1000u);
    EXPECT_FALSE(reader.endedEarly());
    EXPECT_EQ(reader.readFrames(block.data(), 15000), 14000u);
    EXPECT_TRUE(reader.endedEarly());
    WavReader whole;
    EXPECT_EQ(framesFromPipe(kSong, whole), kFrames);
    EXPECT_FALSE(whole.endedEarly() || whole.headerUnfinished());
}
