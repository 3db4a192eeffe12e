// smbfetch: what the command line asks for.
#pragma once

#include <cstdint>
#include <string>

namespace smbfetch {

struct Request {
    std::string address;     // dotted IPv4
    std::string serverName;  // NetBIOS name
    std::string sharePath;   // \\SERVER\SHARE, UTF-8
    std::string remotePath;  // \dir\file, UTF-8
    std::string output;      // local path as given (or derived), "-" for standard output
    uint64_t offset = 0;     // first remote byte wanted
    bool resume = false;     // -c: keep partial files and continue them
    bool raw = false;        // sequential raw reads instead of positional reads
    bool quiet = false;
    bool verbose = false;
};

// Parses argv; usage errors and --help end the process here.
Request parseArguments(int argc, char **argv);

}  // namespace smbfetch
