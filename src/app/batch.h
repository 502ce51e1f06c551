// Work on several inputs: one output folder each, and up to N of them at once.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/commands/split_command.h"

namespace TrackloomApp {

// The stems a split writes: those --stems names, in its order, or the engine's four.
std::vector<Trackloom::StemKind> StemsWritten(const commands::SplitSettings& split);

// The files a split into `dir` writes, one for each of StemsWritten(split).
std::vector<std::string> StemPaths(const std::string& dir, const commands::SplitSettings& split);

// A stem that would be written over one of the inputs.
struct StemOverInput {
    std::string stem;
    std::string input;
};

// Every stem of `stems` that is the same file as one of `inputs`: the same path, or another
// name for it through a hard or symbolic link. Only files that exist can be; standard
// input ("-") has no name to compare.
std::vector<StemOverInput> StemsOverInputs(const std::vector<std::string>& inputs,
                                           const std::vector<std::string>& stems);

// OUT/<file name without its extension> for each input, in order. Names that would clash
// (also by letter case, as they do on Windows and macOS) get "-2", "-3", ... in the order of
// the inputs, so no two inputs ever write into one folder.
std::vector<std::string> BatchOutputDirs(const std::vector<std::string>& inputs,
                                         const std::string& outRoot);

// What one input's work printed and how it ended.
struct JobResult {
    int status = 0;
    std::string out;  // for standard output
    std::string err;  // for standard error
};

// Runs job(i) for every i < count on up to `jobs` threads (at least one). Each input's work
// runs on one thread; what it printed is written to `out` and `err` in input order, each
// input's as soon as those before it are written, so the output is the same whatever
// `jobs` is. Returns how many inputs failed (a non-zero status).
size_t RunJobs(size_t count, unsigned jobs, const std::function<JobResult(size_t)>& job,
               std::ostream& out, std::ostream& err);

}  // namespace TrackloomApp
