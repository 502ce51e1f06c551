#include "dsp/io/audio_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "dsp/io/audio_writer.h"
#include "dsp/io/byte_input.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

std::string countingBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

std::string readAt(ByteInput& input, size_t n) {
    std::string out(n, '\0');
    out.resize(input.read(&out[0], n));
    return out;
}

}  // namespace

TEST(ByteInput, StreamGoesBackOnlyOverWhatItKept) {
    const std::string data = countingBytes(ByteInput::kKeptBytes + 100000);
    std::istringstream in(data);
    ByteInput input;
    input.openStream(in);
    EXPECT_FALSE(input.seekable());
    EXPECT_EQ(input.length(), ByteInput::kUnknownLength);

    EXPECT_EQ(readAt(input, 64), data.substr(0, 64));
    ASSERT_TRUE(input.seek(10));  // back over the headers
    EXPECT_EQ(readAt(input, 100), data.substr(10, 100));
    ASSERT_TRUE(input.seek(5000));  // ahead, by skipping
    EXPECT_EQ(input.tell(), 5000u);
    EXPECT_EQ(readAt(input, 30), data.substr(5000, 30));
    ASSERT_TRUE(input.seek(100));  // back again, across what the skip took
    EXPECT_EQ(readAt(input, 6000), data.substr(100, 6000));

    // Once the stream has gone past what is kept, only its last bytes can be had again (a
    // step back over the start of a chained stream's next part), nothing before them.
    const size_t at = ByteInput::kKeptBytes + 50000;
    ASSERT_TRUE(input.seek(at));
    EXPECT_FALSE(input.lostPlace());
    EXPECT_FALSE(input.seek(at - 2 * ByteInput::kRecentBytes - 1));
    EXPECT_FALSE(input.seek(0));
    EXPECT_TRUE(input.lostPlace());
    ASSERT_TRUE(input.seek(at - ByteInput::kRecentBytes));
    EXPECT_EQ(readAt(input, ByteInput::kRecentBytes + 20),
              data.substr(at - ByteInput::kRecentBytes, ByteInput::kRecentBytes + 20));
    EXPECT_FALSE(input.seek(data.size() + 1));  // past the end
    EXPECT_EQ(readAt(input, 10), "");
}

TEST(ByteInput, SeekableStreamKnowsItsLength) {
    const std::string data = countingBytes(3000);
    std::istringstream in(data);
    ByteInput input;
    input.openSeekableStream(in);
    EXPECT_TRUE(input.seekable());
    EXPECT_EQ(input.length(), 3000);
    ASSERT_TRUE(input.seek(2990));
    EXPECT_EQ(readAt(input, 100), data.substr(2990));  // short at the end...
    ASSERT_TRUE(input.seek(0));                        // ...and the stream still usable
    EXPECT_EQ(readAt(input, 5), data.substr(0, 5));
    EXPECT_FALSE(input.seek(3001));
}

TEST(EncodeS24, TruncatesClampsAndZeroesNan) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float in[] = {0.0f,
                        1.0f,
                        -1.0f,
                        1.5f,
                        -7.0f,
                        0.5f,
                        -0.5f,
                        1.0f / 8388607.0f,
                        -1e-9f,
                        nan,
                        std::numeric_limits<float>::infinity()};
    const int32_t expected[] = {0,        8388607, -8388607, 8388607, -8388607, 4194303,
                                -4194303, 1,       0,        0,       8388607};
    int32_t out[11];
    EncodeS24(in, 11, out);
    for (size_t i = 0; i < 11; ++i) EXPECT_EQ(out[i], expected[i]) << in[i];
}

TEST(AudioReader, RefusesWhatItCannotRead) {
    // Not audio, nothing at all, and a kind of file named but not read.
    std::istringstream text("hello, this is no audio file at all, only words");
    EXPECT_EQ(OpenAudio(text).status, AudioStatus::Unrecognized);
    std::istringstream empty("");
    EXPECT_EQ(OpenAudio(empty).status, AudioStatus::CannotOpen);
    std::string adts(256, '\0');
    for (size_t i = 0; i < adts.size(); i += 128) {
        const unsigned char frame[7] = {0xFF, 0xF1, 0x50, 0x80, 0x10, 0x1F, 0xFC};
        adts.replace(i, 7, reinterpret_cast<const char*>(frame), 7);
    }
    std::istringstream aac(adts);
    const OpenedAudio refused = OpenAudio(aac);
    EXPECT_EQ(refused.container, Container::AacAdts);
    EXPECT_EQ(refused.status, AudioStatus::Unsupported);
    EXPECT_FALSE(refused.reader);
    EXPECT_EQ(OpenAudio(std::string("/nonexistent/dir/x.flac")).status, AudioStatus::CannotOpen);
}

// The reason a file was refused is recorded where it was found, with what the words need.
TEST(AudioReader, RecordsWhyItRefused) {
    using Cause = Trackloom::io::ReadFailure::Cause;
    std::istringstream text("hello, this is no audio file at all, only words");
    const OpenedAudio words = OpenAudio(text);
    EXPECT_EQ(words.failure.cause, Cause::NotAudio);
    ASSERT_EQ(words.failure.headBytes, Trackloom::io::ReadFailure::kHeadBytes);
    EXPECT_EQ(std::string(words.failure.head.begin(), words.failure.head.end()),
              "hello, this is n");
    std::istringstream empty("");
    EXPECT_EQ(OpenAudio(empty).failure.cause, Cause::Empty);

    WavSpec mulaw;
    mulaw.formatCode = 7;
    mulaw.blockAlign = 1;
    mulaw.bitsPerSample = 8;
    mulaw.data = {0xFF, 0x7F};
    const Bytes bytes = buildWav(mulaw);
    std::istringstream wav(std::string(bytes.begin(), bytes.end()));
    const OpenedAudio encoded = OpenAudio(wav);
    EXPECT_EQ(encoded.status, AudioStatus::Malformed);
    EXPECT_EQ(encoded.failure.cause, Cause::WavEncoding);
    EXPECT_EQ(encoded.failure.container, Container::Wav);
    EXPECT_EQ(encoded.failure.formatTag, 7);

    TempDir dir;
    const OpenedAudio folder = OpenAudio(dir.path().string());
    EXPECT_EQ(folder.failure.cause, Cause::CannotOpen);
    EXPECT_EQ(folder.failure.error, std::errc::is_a_directory);
    const OpenedAudio missing = OpenAudio(dir.file("missing.flac"));
    EXPECT_EQ(missing.failure.cause, Cause::CannotOpen);
    EXPECT_EQ(missing.failure.error, std::errc::no_such_file_or_directory);
}
