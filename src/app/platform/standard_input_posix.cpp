#include "app/commands/open_input.h"

namespace TrackloomApp {

// POSIX streams make no difference between text and binary.
void SetStandardInputBinary() {}

}  // namespace TrackloomApp
