#include "app/commands/command_checks.h"
#include "app/dispatch.h"

int main(int argc, char** argv) {
    // An answer lost on its way out (a full disk, a closed descriptor) is a failure too.
    return TrackloomApp::commands::FinishStandardOutput(Dispatch(argc, argv));
}
