// Results as JSON Lines: one object per input, on one line, for scripts to parse.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dsp/analysis/analysis.h"

namespace TrackloomApp {

// {"file", "bpm", "bpm_confidence", "key", "relative", "camelot", "open_key",
// "key_confidence"}; without tonal evidence the key fields are the default key's.
std::string BpmJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates);

// The same plus "stems": stem name -> path written, in the order given.
std::string SplitJson(const std::string& file, const Trackloom::analysis::TempoAndKey& estimates,
                      const std::vector<std::pair<std::string, std::string>>& stems);

// {"file", "stems"}: the split's line where no estimates were made.
std::string StemsJson(const std::string& file,
                      const std::vector<std::pair<std::string, std::string>>& stems);

// {"file", "error"} for an input that failed.
std::string ErrorJson(const std::string& file, const std::string& error);

}  // namespace TrackloomApp
