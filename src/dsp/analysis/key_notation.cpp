#include "dsp/analysis/key_notation.h"

namespace Trackloom::analysis {
namespace {

const char* const kTonicNames[12] = {"C",  "C#", "D",  "Eb", "E",  "F",
                                     "F#", "G",  "Ab", "A",  "Bb", "B"};

bool Valid(int keyIndex) {
    return keyIndex >= 0 && keyIndex < 24;
}

// The relative major's tonic: a minor key's lies three semitones up.
int MajorTonicOf(int keyIndex) {
    return keyIndex >= 12 ? (keyIndex - 12 + 3) % 12 : keyIndex;
}

// Steps of a fifth from C to the relative major's tonic, 0..11: seven semitones is a fifth,
// and seven is its own inverse modulo 12, so multiplying by seven counts fifths.
int FifthsFromC(int keyIndex) {
    return (MajorTonicOf(keyIndex) * 7) % 12;
}

}  // namespace

std::string KeyLetterName(int keyIndex) {
    if (!Valid(keyIndex)) return {};
    return std::string(kTonicNames[keyIndex % 12]) + (keyIndex >= 12 ? " Minor" : " Major");
}

std::string RelativeKeyLetterName(int keyIndex) {
    if (!Valid(keyIndex)) return {};
    const int relative = keyIndex >= 12 ? MajorTonicOf(keyIndex) : (keyIndex + 9) % 12 + 12;
    return KeyLetterName(relative);
}

std::string CamelotCode(int keyIndex) {
    if (!Valid(keyIndex)) return {};
    // C major and A minor are 8 on the Camelot wheel.
    const int number = (FifthsFromC(keyIndex) + 7) % 12 + 1;
    return std::to_string(number) + (keyIndex >= 12 ? "A" : "B");
}

std::string OpenKeyCode(int keyIndex) {
    if (!Valid(keyIndex)) return {};
    // C major and A minor are 1 in Open Key.
    const int number = FifthsFromC(keyIndex) + 1;
    return std::to_string(number) + (keyIndex >= 12 ? "m" : "d");
}

}  // namespace Trackloom::analysis
