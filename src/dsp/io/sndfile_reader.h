// Everything but WAV and MPEG audio, read through libsndfile: FLAC, Ogg Vorbis and Opus
// (chained streams link by link), AIFF/AIFC, Wave64 and others. The only file that reads
// with libsndfile (sndfile_writer.cpp writes with it).
#pragma once

#include <memory>

#include "dsp/io/audio_reader.h"
#include "dsp/io/byte_input.h"

namespace Trackloom::io {

// Opens a libsndfile decoder over `input`, which is at its first byte. Takes the input over.
// Fails with Malformed if no decoder accepts it, NeedsFile if one would but the input is a
// stream it cannot go through without seeking.
OpenedAudio OpenWithSndfile(std::unique_ptr<ByteInput> input, Container container);

}  // namespace Trackloom::io
