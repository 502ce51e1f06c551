// MPEG audio (MP3, and MP2 and MP1 as well) through libmpg123, which libsndfile also uses:
// called here directly, it can be told to keep quiet where it would print its complaints
// about a damaged file, and to go on through files joined end to end. The only file that
// knows libmpg123 is there.
#pragma once

#include <memory>

#include "dsp/io/audio_reader.h"
#include "dsp/io/byte_input.h"

namespace Trackloom::io {

// Opens an MPEG audio decoder over `input`, which is at its first byte, and reads up to the
// first frame. Takes the input over. Fails with Malformed if no frame of audio is found.
OpenedAudio OpenWithMpg123(std::unique_ptr<ByteInput> input);

}  // namespace Trackloom::io
