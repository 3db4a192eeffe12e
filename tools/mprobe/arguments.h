// The command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "output.h"

struct Options {
    std::vector<std::string> names;       // FILE arguments, in order
    std::optional<std::string> filesFrom;  // a list of names; "-" is standard input
    bool nulSeparated = false;            // the list is NUL-separated, not one name a line
    bool recursive = false;
    bool followLinks = false;  // enter symbolic links to folders while walking
    unsigned jobs = 1;
    OutputStyle style;
};

// Fills options; returns an exit status when the program should stop
// (help, version, usage error), nullopt to go on.
std::optional<int> parseArguments(int argc, char **argv, Options &options);
