// The program's entry: the usage text and the choice of a command.
#pragma once

// Prints the usage text to standard output. A null name (an empty argument vector) prints
// as "trackloom".
void PrintUsage(const char* programName);

// Chooses a command from the first argument, runs it, and returns the exit status.
int Dispatch(int argc, char** argv);
