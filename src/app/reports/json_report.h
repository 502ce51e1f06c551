// Results as JSON Lines: one object per input, on one line, for scripts to parse.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dsp/analysis/analysis.h"

namespace TrackloomApp::reports {

// {"file", "bpm", "bpm_confidence", "key", "relative", "camelot", "open_key",
// "key_confidence", "warnings"}; without tonal evidence the key fields are the default key's.
// "warnings" is an array of one-line texts, empty when there are none: `warnings`, then
// kNoSteadyBeatWarning when the estimates' tempo is a guess.
std::string BpmJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates,
                    const std::vector<std::string>& warnings);

// The same with the warnings given on this thread for its input (InputScope::Warnings).
std::string BpmJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates);

// The same plus "stems" (stem name -> path written, in the order given) before "warnings".
std::string SplitJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates,
                      const std::vector<std::pair<std::string, std::string>>& stems,
                      const std::vector<std::string>& warnings);
std::string SplitJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates,
                      const std::vector<std::pair<std::string, std::string>>& stems);

// {"file", "stems", "warnings"}: the split's line where no estimates were made.
std::string StemsJson(const std::string& file,
                      const std::vector<std::pair<std::string, std::string>>& stems,
                      const std::vector<std::string>& warnings);

// The warning of a tempo that is a guess, as a JSON line gives it.
constexpr const char* kNoSteadyBeatWarning = "no steady beat was found: the tempo is a guess";

// {"file", "error"} for an input that failed.
std::string ErrorJson(const std::string& file, const std::string& error);

}  // namespace TrackloomApp::reports
