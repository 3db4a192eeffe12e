#include "arguments.h"

#include <CLI/CLI.hpp>

#include <sched.h>
#include <unistd.h>

#include <iostream>

namespace {

// The cores this process may run on, which taskset or a container may limit.
unsigned usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return unsigned(CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? unsigned(online) : 1u;
}

}  // namespace

std::optional<int> parseArguments(int argc, char **argv, Options &o)
{
    CLI::App app{"Prints what libmediaprobe learns about each FILE: MP3 bitrate, sample rate and duration; WAVE and "
                 "AVI properties; JPEG, GIF and BMP dimensions; the version text of Windows modules; size, "
                 "modification and access time of anything. The probe is chosen by the file's content; the "
                 "extension only helps with MPEG audio that has no tag and does not start with a frame.",
                 "mprobe"};
    o.jobs = usableCores();
    std::string filesFrom;
    app.add_option("FILE", o.names, "files (or, with -r, folders) to probe");
    app.add_flag("--json", o.style.json, "print one JSON object per file, one per line");
    app.add_flag("-v,--verbose", o.style.verbose, "show the library's own diagnostic lines on standard error");
    app.add_flag("-r,--recursive", o.recursive, "probe everything inside the folders named, at any depth");
    app.add_flag("-L,--dereference", o.followLinks, "with -r, also enter symbolic links to folders");
    app.add_option("--files-from", filesFrom, "read the names to probe from LIST (- for standard input)")
        ->option_text("LIST");
    app.add_flag("-0,--null", o.nulSeparated, "names in LIST end with a NUL byte, not a new line");
    app.add_option("-j,--jobs", o.jobs, "probe N files at once (default: the number of cores)")
        ->option_text("N")
        ->check(CLI::Range(1u, 1024u));
    app.set_version_flag("--version", "mprobe " MP_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (!filesFrom.empty()) o.filesFrom = filesFrom;
    if (o.names.empty() && !o.filesFrom) {
        std::cerr << "FILE is required (or --files-from LIST)\nRun with --help for more information.\n";
        return 2;
    }
    return std::nullopt;
}
