// Key names in the notations DJs read: letter names, the Camelot wheel and Open Key.
//
// Keys are indexed as the key estimator gives them: tonic 0..11 (C..B), plus 12 for minor.
// Both wheels number the circle of fifths, so neighbouring numbers mix harmonically:
// Camelot puts A minor at 8A and C major at 8B; Open Key puts C major at 1d and A minor at 1m.
#pragma once

#include <string>

namespace Trackloom::analysis {

enum class KeyNotation { Standard, Camelot, OpenKey };

// "A Minor"; empty for an index outside 0..23.
std::string KeyLetterName(int keyIndex);
// "C Major" for A minor, "A Minor" for C major; empty for an index outside 0..23.
std::string RelativeKeyLetterName(int keyIndex);
// "8A" for A minor, "8B" for C major; empty for an index outside 0..23.
std::string CamelotCode(int keyIndex);
// "1m" for A minor, "1d" for C major; empty for an index outside 0..23.
std::string OpenKeyCode(int keyIndex);

}  // namespace Trackloom::analysis
