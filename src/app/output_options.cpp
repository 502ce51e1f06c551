// The split's output options: --format wav|flac and --depth 16|24|float.
#include <cstring>
#include <iostream>

#include "app/commands.h"

namespace TrackloomApp {

bool ParseOutputFormat(int count, char** args, Trackloom::OutputFormat& format) {
    using Trackloom::OutputFormat;
    for (int i = 0; i < count; ++i) {
        const char* option = args[i];
        const bool isFormat = std::strcmp(option, "--format") == 0;
        const bool isDepth = std::strcmp(option, "--depth") == 0;
        // Anything else after the operands is ignored, as it always was.
        if (!isFormat && !isDepth) continue;
        const char* value = i + 1 < count ? args[++i] : nullptr;
        if (value == nullptr) {
            std::cerr << option << " needs a value\n";
            return false;
        }
        const std::string v = value;
        if (isFormat && (v == "wav" || v == "flac")) {
            format.kind = v == "wav" ? OutputFormat::Kind::Wav : OutputFormat::Kind::Flac;
        } else if (isDepth && (v == "16" || v == "24" || v == "float")) {
            format.depth = v == "16"   ? OutputFormat::Depth::S16
                           : v == "24" ? OutputFormat::Depth::S24
                                       : OutputFormat::Depth::Float;
        } else {
            std::cerr << option << " takes " << (isFormat ? "wav or flac" : "16, 24 or float")
                      << ", not " << v << "\n";
            return false;
        }
    }
    if (!format.valid()) {
        std::cerr << "FLAC holds 16 or 24 bits; --depth float is for WAV\n";
        return false;
    }
    return true;
}

}  // namespace TrackloomApp
