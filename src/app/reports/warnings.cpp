#include "app/reports/warnings.h"

#include <atomic>

namespace TrackloomApp::reports {
namespace {

std::atomic<bool> g_quiet{false};
thread_local InputScope* t_scope = nullptr;

const std::vector<std::string> kNoWarnings;
const std::string kNoInput;

}  // namespace

void SetQuiet(bool quiet) {
    g_quiet = quiet;
}

bool Quiet() {
    return g_quiet;
}

InputScope::InputScope(const std::string& input, bool nameInput)
    : input_(input), nameInput_(nameInput) {
    t_scope = this;
}

InputScope::~InputScope() {
    t_scope = nullptr;
}

const std::string& InputScope::Input() {
    return t_scope != nullptr ? t_scope->input_ : kNoInput;
}

bool InputScope::NamesInput() {
    return t_scope != nullptr && t_scope->nameInput_;
}

const std::vector<std::string>& InputScope::Warnings() {
    return t_scope != nullptr ? t_scope->warnings_ : kNoWarnings;
}

void Warn(std::ostream& err, const std::string& line, const std::string& warning) {
    if (!Quiet()) err << line << "\n";
    if (t_scope != nullptr) t_scope->warnings_.push_back(warning);
}

}  // namespace TrackloomApp::reports
