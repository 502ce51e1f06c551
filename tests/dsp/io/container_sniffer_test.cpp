#include "dsp/io/container_sniffer.h"

#include <gtest/gtest.h>

#include <string>

using namespace Trackloom;
using namespace Trackloom::io;

namespace {

Container detect(const std::string& head) {
    return DetectContainer(reinterpret_cast<const unsigned char*>(head.data()), head.size());
}

// An Ogg page header with one segment, followed by the first packet's opening bytes.
std::string oggPage(const std::string& packet) {
    std::string page = "OggS";
    page += std::string(22, '\0');
    page += '\x01';  // one lacing value
    page += static_cast<char>(packet.size());
    return page + packet;
}

}  // namespace

TEST(ContainerSniffer, NamesEachContainerByItsFirstBytes) {
    const std::string wave64Guid("riff\x2E\x91\xCF\x11\xA5\xD6\x28\xDB\x04\xC1\x00\x00", 16);
    const std::string asfGuid("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C",
                              16);
    const struct {
        std::string head;
        Container expected;
    } cases[] = {
        {std::string("RIFF\x24\0\0\0WAVEfmt ", 16), Container::Wav},
        {std::string("RF64\xFF\xFF\xFF\xFFWAVEds64", 16), Container::Rf64},
        {std::string("BW64\xFF\xFF\xFF\xFFWAVEds64", 16), Container::Bw64},
        {std::string("RIFX\0\0\0\x24WAVEfmt ", 16), Container::RifxWav},
        {wave64Guid + std::string(24, '\0'), Container::Wave64},
        {std::string("FORM\0\0\0\x20"
                     "AIFFCOMM",
                     16),
         Container::Aiff},
        {std::string("FORM\0\0\0\x20"
                     "AIFCFVER",
                     16),
         Container::Aifc},
        {"fLaC\x00\x00\x00\x22", Container::Flac},
        {oggPage("\x01vorbis\0\0\0\0"), Container::OggVorbis},
        {oggPage("OpusHead\x01\x02"), Container::OggOpus},
        {oggPage("\x7F"
                 "FLAC\x01\x00"),
         Container::OggFlac},
        {oggPage("\x80theora"), Container::Ogg},
        {"ID3\x04\x00\x00\x00\x00\x00\x00", Container::Mp3},
        {"\xFF\xFB\x90\x64", Container::Mp3},  // MPEG-1 layer III
        {"\xFF\xF3\x48\xC4", Container::Mp3},  // MPEG-2 layer III
        {"\xFF\xF1\x50\x80", Container::AacAdts},
        {std::string("\0\0\0\x20"
                     "ftypM4A \0\0\0\0",
                     16),
         Container::M4a},
        {std::string("\0\0\0\x20"
                     "ftypisom\0\0\0\0",
                     16),
         Container::Mp4Video},
        {std::string("\0\0\0\x14"
                     "ftypqt  \0\0\0\0",
                     16),
         Container::Mp4Video},
        {asfGuid + "xxxx", Container::Asf},
        {"\x1A\x45\xDF\xA3\x9F\x42\x86\x81", Container::Matroska},
        {std::string("RIFF\0\0\0\0AVI LIST", 16), Container::Avi},
        {"caff\x00\x01\x00\x00", Container::Caf},
        {".snd\x00\x00\x00\x18", Container::Au},
        {"MThd\x00\x00\x00\x06", Container::Midi},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detect(c.head), c.expected) << ContainerName(c.expected);
        EXPECT_STRNE(ContainerName(c.expected), "unknown");
    }
}

TEST(ContainerSniffer, TooLittleOrUnrecognisedIsUnknown) {
    EXPECT_EQ(DetectContainer(nullptr, 0), Container::Unknown);
    EXPECT_EQ(detect("RIF"), Container::Unknown);
    EXPECT_EQ(detect(std::string("RIFF\0\0\0\0", 8)), Container::Unknown);  // no form type yet
    EXPECT_EQ(detect(std::string("RIFF\0\0\0\0CDXA", 12)), Container::Unknown);
    EXPECT_EQ(detect(std::string("\xFF\xE0\x00\x00", 4)),
              Container::Unknown);  // sync with a reserved layer
    EXPECT_EQ(detect("hello, world"), Container::Unknown);
    EXPECT_STREQ(ContainerName(Container::Unknown), "unknown");
}
