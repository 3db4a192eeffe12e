// What a report looks like to the user: a text block or one JSON line.
#pragma once

#include <string>

#include "probes.h"

struct OutputStyle {
    bool json = false;
    bool verbose = false;  // text: the library's lines on standard error too
};

struct Rendered {
    std::string out;  // for standard output
    std::string err;  // for standard error
    bool failed = false;
};

Rendered render(const Report &report, const OutputStyle &style);
