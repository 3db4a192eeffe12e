// Stand-in for the platform's host name and process id queries.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the local host name into out, NUL-terminated and cut to fit size
// bytes; the empty name when the platform cannot report one.
void localHostName(char *out, size_t size);

// A number that identifies the calling process.
uint32_t currentProcessId();
