// File names are bytes; these make them safe to print.
#pragma once

#include <string>
#include <string_view>

bool isValidUtf8(std::string_view bytes);

// For a terminal or a log: valid, printable UTF-8 as it is; control
// characters, bidirectional overrides and bytes that are not UTF-8 as \xHH;
// a backslash doubled, so the result reads back unambiguously.
std::string printable(std::string_view bytes);

std::string hexBytes(std::string_view bytes);
