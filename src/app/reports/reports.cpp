#include "app/reports/reports.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <ostream>

#include "app/reports/failure_reasons.h"
#include "app/reports/warnings.h"

namespace TrackloomApp::reports {
namespace {

// A reason is indented under the line it explains, so the line itself stays as scripts
// have always read it.
std::string PrintReason(std::ostream& err, const std::string& reason) {
    err << "  " << reason << "\n";
    return reason;
}

// Endings of the names of audio files, in lower case.
constexpr const char* kAudioExtensions[] = {
    ".wav", ".wave", ".bwf", ".rf64", ".w64",  ".flac", ".mp3", ".mp2", ".ogg",
    ".oga", ".opus", ".aif", ".aiff", ".aifc", ".m4a",  ".m4b", ".aac", ".alac",
    ".wma", ".au",   ".snd", ".caf",  ".ape",  ".wv",   ".mka"};

bool HasAudioExtension(const std::string& name) {
    std::string folder = name;
    // "new.wav/" names the folder new.wav.
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    std::string extension = std::filesystem::path(folder).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(std::begin(kAudioExtensions), std::end(kAudioExtensions), extension) !=
           std::end(kAudioExtensions);
}

// The key the estimator names when nothing tonal was heard (F# minor).
constexpr int kDefaultKeyIndex = 12 + 6;

}  // namespace

std::string KeyText(const Trackloom::analysis::TempoAndKey& estimates,
                    Trackloom::analysis::KeyNotation notation) {
    if (notation == Trackloom::analysis::KeyNotation::Standard) return estimates.key;
    const int key = estimates.keyIndex >= 0 ? estimates.keyIndex : kDefaultKeyIndex;
    const std::string code = notation == Trackloom::analysis::KeyNotation::Camelot
                                 ? Trackloom::analysis::CamelotCode(key)
                                 : Trackloom::analysis::OpenKeyCode(key);
    return code + " (" + Trackloom::analysis::KeyLetterName(key) + ")";
}

void PrintEstimates(std::ostream& out, double bpm, const std::string& key) {
    out << "Estimated BPM: " << bpm << "\n"
        << "Estimated Key: " << key << "\n";
}

void ReportWriteFailure(std::ostream& err, const std::string& path) {
    err << "Failed to write audio file: " << path << "\n";
}

void ReportReadFailure(std::ostream& err, const std::string& path) {
    err << "Failed to read audio file: " << path << "\n";
}

std::string ReportReadFailure(std::ostream& err, const std::string& path,
                              const Trackloom::io::ReadFailure& failure,
                              const std::string& pipedCommand) {
    ReportReadFailure(err, path);
    return PrintReason(err, ReadFailureReason(failure, path, pipedCommand));
}

std::string ReportReadFailure(std::ostream& err, const std::string& path,
                              const std::string& reason) {
    ReportReadFailure(err, path);
    return PrintReason(err, reason);
}

std::string ReportNoAudio(std::ostream& err, const std::string& path) {
    ReportReadFailure(err, path);
    return PrintReason(
        err, "the file holds no audio: its data chunk is empty or shorter than one frame");
}

std::string ReportWriteFailure(std::ostream& err, const std::string& path,
                               const std::string& reason) {
    ReportWriteFailure(err, path);
    return PrintReason(err, reason);
}

std::string ReportWriteFailures(std::ostream& err, const std::vector<std::string>& paths,
                                const std::string& reason) {
    for (const std::string& path : paths) ReportWriteFailure(err, path);
    return PrintReason(err, reason);
}

void WarnIfFolderLooksLikeAudio(std::ostream& err, const std::string& dir) {
    std::error_code error;
    if (!HasAudioExtension(dir) || std::filesystem::exists(dir, error) || error) return;
    const std::string warning = "the folder " + dir +
                                " is made for the stems, though its name looks like an audio "
                                "file's; to split several inputs give -o OUT";
    Warn(err, "Warning: " + warning, warning);
}

void ReportNoSteadyBeat(std::ostream& err) {
    // The JSON line has this warning from the estimates themselves (see json_report.h).
    if (Quiet()) return;
    const std::string& input = InputScope::Input();
    err << "No steady beat was found" << (InputScope::NamesInput() ? " in " + input : "")
        << ": the tempo above is a guess\n";
}

}  // namespace TrackloomApp::reports
