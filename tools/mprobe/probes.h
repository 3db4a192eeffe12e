// Probing one file: the tool's own stat, then the library probe its content calls for.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "content.h"

// Keys stay in the order they were added: path and type first.
using json = nlohmann::ordered_json;

struct Report {
    std::string path;
    bool examined = false;      // stat worked: type, size and times mean something
    int64_t size = 0;
    struct timespec accessed {}, modified {};
    Kind kind = Kind::Other;
    Kind namedAs = Kind::Other;  // the extension's claim, kept when content disagrees
    json fields = json::object();  // the kind's properties
    std::string summary;           // the same, for people
    std::string error;             // empty when the probe worked
    std::vector<std::string> libraryLines;  // what the library printed meanwhile
};

// Sets standard output and standard error aside into a memory file while a
// probe runs, so the library's fixed diagnostic lines can be handed back
// instead of mixing with the tool's output. One per process: it moves the
// process's descriptors 1 and 2.
struct LibraryOutput {
    int sink = -1;
    LibraryOutput();
    ~LibraryOutput();
    LibraryOutput(const LibraryOutput &) = delete;
    LibraryOutput &operator=(const LibraryOutput &) = delete;
};

Report probeFile(const std::string &path, LibraryOutput &out);
