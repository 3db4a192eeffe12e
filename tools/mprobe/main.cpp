// mprobe: prints what libmediaprobe learns about each file named on the
// command line, in a list or found in folders, as text or one JSON object
// per line.
#include <cstdio>
#include <iostream>

#include "arguments.h"
#include "jobs.h"
#include "walk.h"

int main(int argc, char **argv)
{
    Options options;
    if (const auto stop = parseArguments(argc, argv, options)) return *stop;
    Walk walk(options);
    std::string message;
    if (!startWalk(walk, message)) {
        std::cerr << "mprobe: " << message << '\n';
        return 2;
    }
    const Tally tally = runJobs(walk, options);
    if (!tally.fatal.empty()) {
        std::cerr << "mprobe: " << tally.fatal << '\n';
        return 2;
    }
    if (tally.failed) {
        std::cerr << "mprobe: " << tally.failed << " of " << tally.probed << " file(s) could not be probed\n";
        return 1;
    }
    return 0;
}
