// Probing in worker processes, printing in walk order.
//
// Workers are processes, not threads: the library's diagnostic lines are
// captured by moving descriptors 1 and 2, which only works one probe per
// process at a time, and a probe that crashes on a hostile file takes only
// its worker down, not the run.
#pragma once

#include <cstddef>
#include <string>

#include "arguments.h"
#include "walk.h"

struct Tally {
    size_t probed = 0;
    size_t failed = 0;
    std::string fatal;  // set when no worker could be started
};

Tally runJobs(Walk &walk, const Options &options);
