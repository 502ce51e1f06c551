// The commands' text: the estimates, and what went wrong with which file.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "dsp/analysis/analysis.h"
#include "dsp/analysis/key_notation.h"
#include "dsp/io/read_failure.h"

namespace TrackloomApp::reports {

// The key as the line "Estimated Key: ..." gives it in `notation`: the standard one names
// the key and its relative, the wheels give their code before the key's name ("8A (A Minor)").
std::string KeyText(const Trackloom::analysis::TempoAndKey& estimates,
                    Trackloom::analysis::KeyNotation notation);

// The two lines shared by --bpm and --demo.
void PrintEstimates(std::ostream& out, double bpm, const std::string& key);

// The Report* helpers print on `err` and return the reason they gave (the indented line's
// text), which a JSON line carries as its "error".

// Reports a file that could not be written.
void ReportWriteFailure(std::ostream& err, const std::string& path);

// Reports a file that could not be read.
void ReportReadFailure(std::ostream& err, const std::string& path);

// The same, followed by the reason given; returns it.
std::string ReportReadFailure(std::ostream& err, const std::string& path,
                              const std::string& reason);

// The same, followed by a line saying why it could not be read (see ReadFailureReason).
std::string ReportReadFailure(std::ostream& err, const std::string& path,
                              const Trackloom::io::ReadFailure& failure,
                              const std::string& pipedCommand);

// Reports a file that was opened but holds no audio at all.
std::string ReportNoAudio(std::ostream& err, const std::string& path);

// Reports a file that could not be written, followed by the reason given; returns it.
std::string ReportWriteFailure(std::ostream& err, const std::string& path,
                               const std::string& reason);

// Reports files none of which were written, all for the one reason given.
std::string ReportWriteFailures(std::ostream& err, const std::vector<std::string>& paths,
                                const std::string& reason);

// Warns when `dir`, the folder for the stems, does not exist yet and has the name of an audio
// file ("new.wav"): it is made all the same, but an input may have been meant.
void WarnIfFolderLooksLikeAudio(std::ostream& err, const std::string& dir);

// Says that the tempo printed is a guess: no steady beat was heard.
void ReportNoSteadyBeat(std::ostream& err);

}  // namespace TrackloomApp::reports
