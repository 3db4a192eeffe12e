// smbfetch: where the fetched bytes go.
//
// A regular file (new or existing) is written under a hidden temporary name
// beside it and renamed onto it when complete, so it never holds a partial
// fetch. With --continue it is written in place instead, so that a partial
// file stays to be continued. Anything else that exists at the path (a
// device, a FIFO, a socket, standard output as "-") is written directly, in
// order, and never replaced. Symbolic links are followed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "arguments.h"

namespace smbfetch {

enum class OutputKind { Stdout, Direct, Replace, InPlace };

struct Output {
    OutputKind kind = OutputKind::Replace;
    std::string shown;   // the name the user gave
    std::string target;  // the file that ends up with the bytes (links followed)
    std::string temp;    // Replace: the hidden file being written
    int fd = -1;
    uint64_t existing = 0;       // InPlace: bytes already there from an earlier run
    uint64_t written = 0;        // bytes written by this run
    bool replacing = false;      // Replace: a file exists at the target
    mode_t mode = 0;             // Replace: permission bits the finished file gets
    uid_t owner = 0;
    gid_t group = 0;
    bool finished = false;

    Output() = default;
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output();  // closes, and removes an unfinished temporary file
};

// Opens the output for q.output. 0, or prints why not and returns the exit status.
int openOutput(const Request &q, Output &out);

bool writeOutput(Output &out, const unsigned char *data, size_t count);

// Makes the output complete (rename, sync, close). 0, or prints why not and returns the exit status.
int finishOutput(Output &out);

// What became of the output when the fetch stopped.
std::string leftoverNote(const Output &out);

}  // namespace smbfetch
