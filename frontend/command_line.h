// Turns the raw command line into the ring of file entries and the switches.
#pragma once

#include "common/types.h"

// Returns only when at least two files were named and every switch was valid;
// otherwise prints the help text and exits with 0, or fails with exit code 2.
void ParseCommandLine(FileEntry** head, OptionFlags* flags);
