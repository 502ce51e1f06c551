// The stems: what the engines give, in the order they give them, and their names. Every
// other place (the command line, the reports, the tests, the training tools) takes them
// from here.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace Trackloom {

// The stems a split can write. The engines give the first four, in this order; the
// accompaniment is the input less the vocals.
enum class StemKind { Vocals, Drums, Bass, Other, Accompaniment };

// How many stems an engine gives, and which.
constexpr size_t kEngineStemCount = 4;
constexpr std::array<StemKind, kEngineStemCount> kEngineStems = {StemKind::Vocals, StemKind::Drums,
                                                                 StemKind::Bass, StemKind::Other};

// Every stem a split can write, in the order the usage text lists them.
constexpr std::array<StemKind, 5> kAllStems = {StemKind::Vocals, StemKind::Drums, StemKind::Bass,
                                               StemKind::Other, StemKind::Accompaniment};

// "vocals", ..., "accompaniment": the stem's file name without its extension.
constexpr const char* StemName(StemKind kind) {
    switch (kind) {
        case StemKind::Vocals:
            return "vocals";
        case StemKind::Drums:
            return "drums";
        case StemKind::Bass:
            return "bass";
        case StemKind::Other:
            return "other";
        case StemKind::Accompaniment:
            return "accompaniment";
    }
    return "";
}

// The stem named `name`; false if there is none by that name.
inline bool ParseStemName(const std::string& name, StemKind& kind) {
    for (const StemKind candidate : kAllStems) {
        if (name == StemName(candidate)) {
            kind = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace Trackloom
