// Which probe a file gets: decided by its leading bytes.
#pragma once

#include <optional>
#include <string>

enum class Kind { Mp3, Wave, Avi, Jpeg, Gif, Bmp, Module, Directory, Other };

const char *kindName(Kind kind);   // the JSON name: "mp3", "pe-module", ...
const char *kindLabel(Kind kind);  // for people: "MP3 audio", ...

// Reads the first bytes of an open file. A format is chosen only when those
// bytes say so; the name's extension counts only for raw MPEG audio, whose
// first frame need not sit at the start. Kind::Other when nothing fits;
// nullopt, with errno set, when the file cannot be read.
std::optional<Kind> kindFromContent(int fd, const std::string &path);

// What the extension alone would suggest; Kind::Other for none.
Kind kindFromExtension(const std::string &path);
