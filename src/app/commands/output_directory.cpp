#include <filesystem>

#include "app/commands/open_input.h"

namespace TrackloomApp::commands {

bool CreateOutputDirectory(const std::string& dir, std::error_code& error) {
    error.clear();
    if (dir.empty()) return true;
    const std::filesystem::path path(dir);
    if (std::filesystem::is_directory(path, error)) return true;
    std::filesystem::create_directories(path, error);
    // What counts is that a directory stands there now, whatever the creation reported:
    // splits of several inputs at once may be creating the same parents.
    std::error_code creation = error;
    if (!std::filesystem::is_directory(path, error)) {
        if (creation) {
            error = creation;
            return false;
        }
        if (!error) error = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    return true;
}

}  // namespace TrackloomApp::commands
