// Warnings: what a command says on standard error about a result it still gives (an input
// that ended early, a tempo that is a guess). --quiet silences them there; a JSON line
// carries its input's warnings all the same; among several inputs each names its input.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace TrackloomApp::reports {

// For the whole run: set by the dispatcher before any command starts, read by every job.
void SetQuiet(bool quiet);
bool Quiet();

// The input that this thread works on while the object lives: the warnings given on the
// thread meanwhile are kept for its JSON line. Scopes do not nest.
class InputScope {
  public:
    // `nameInput`: there are several inputs, so a warning that does not name its input by
    // itself has to.
    InputScope(const std::string& input, bool nameInput);
    ~InputScope();
    InputScope(const InputScope&) = delete;
    InputScope& operator=(const InputScope&) = delete;

    // This thread's input and its warnings so far; "" and none outside a scope.
    static const std::string& Input();
    static bool NamesInput();
    static const std::vector<std::string>& Warnings();

  private:
    friend void Warn(std::ostream& err, const std::string& line, const std::string& warning);
    std::string input_;
    bool nameInput_;
    std::vector<std::string> warnings_;
};

// Prints `line` (with its newline) on `err` unless the run is quiet, and keeps `warning` (a
// line without the input's name, for its JSON line) in the thread's scope.
void Warn(std::ostream& err, const std::string& line, const std::string& warning);

}  // namespace TrackloomApp::reports
