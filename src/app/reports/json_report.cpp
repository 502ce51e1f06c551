#include "app/reports/json_report.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "app/reports/warnings.h"
#include "dsp/analysis/key_notation.h"

namespace TrackloomApp::reports {
namespace {

using Json = nlohmann::ordered_json;

// The key the text output names when nothing tonal was heard (F# minor).
constexpr int kDefaultKeyIndex = 12 + 6;

// Confidences are estimates, not measurements: three decimals say all they can.
double Rounded(double confidence) {
    return std::round(confidence * 1000.0) / 1000.0;
}

Json Estimates(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates) {
    const int key = estimates.keyIndex >= 0 ? estimates.keyIndex : kDefaultKeyIndex;
    Json j;
    j["file"] = file;
    j["bpm"] = estimates.bpm;
    j["bpm_confidence"] = Rounded(estimates.bpmConfidence);
    j["key"] = Trackloom::analysis::KeyLetterName(key);
    j["relative"] = Trackloom::analysis::RelativeKeyLetterName(key);
    j["camelot"] = Trackloom::analysis::CamelotCode(key);
    j["open_key"] = Trackloom::analysis::OpenKeyCode(key);
    j["key_confidence"] = Rounded(estimates.keyConfidence);
    return j;
}

Json Warnings(const std::vector<std::string>& warnings, bool tempoIsGuess) {
    Json list = Json::array();
    for (const std::string& warning : warnings) list.push_back(warning);
    if (tempoIsGuess) list.push_back(kNoSteadyBeatWarning);
    return list;
}

// Paths are bytes; JSON strings are Unicode. A path that is not valid UTF-8 keeps every
// valid character and shows U+FFFD where a byte cannot be decoded, rather than failing.
std::string Line(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string BpmJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates,
                    const std::vector<std::string>& warnings) {
    Json j = Estimates(file, estimates);
    j["warnings"] = Warnings(warnings, estimates.tempoIsGuess);
    return Line(j);
}

std::string BpmJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates) {
    return BpmJson(file, estimates, InputScope::Warnings());
}

std::string StemsJson(const std::string& file,
                      const std::vector<std::pair<std::string, std::string>>& stems,
                      const std::vector<std::string>& warnings) {
    Json j;
    j["file"] = file;
    Json written = Json::object();
    for (const auto& [name, path] : stems) written[name] = path;
    j["stems"] = written;
    j["warnings"] = Warnings(warnings, false);
    return Line(j);
}

std::string SplitJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates,
                      const std::vector<std::pair<std::string, std::string>>& stems,
                      const std::vector<std::string>& warnings) {
    Json j = Estimates(file, estimates);
    Json written = Json::object();
    for (const auto& [name, path] : stems) written[name] = path;
    j["stems"] = written;
    j["warnings"] = Warnings(warnings, estimates.tempoIsGuess);
    return Line(j);
}

std::string SplitJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates,
                      const std::vector<std::pair<std::string, std::string>>& stems) {
    return SplitJson(file, estimates, stems, InputScope::Warnings());
}

std::string ErrorJson(const std::string& file, const std::string& error) {
    Json j;
    j["file"] = file;
    j["error"] = error;
    return Line(j);
}

}  // namespace TrackloomApp::reports
