// The format tags a WAV header names its encoding by, shared by the reader and the writer.
#pragma once

#include <cstdint>

namespace Trackloom::io {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// Bytes 2..15 of the extensible sub-format GUID, shared by PCM and IEEE float; its first two
// bytes are the plain tag.
constexpr unsigned char kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

}  // namespace Trackloom::io
