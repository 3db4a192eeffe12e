// The names to probe, in order: the FILE arguments, then the names in the
// --files-from list; with -r each folder among them is replaced by what is
// inside it, depth first, entries sorted by name.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

#include "arguments.h"

struct Item {
    std::string path;
    std::string error;  // set when the walk itself failed here; nothing to probe
};

struct Folder {
    std::string path;
    std::vector<std::string> names;
    size_t next = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

struct Walk {
    const Options *options = nullptr;
    size_t nextArgument = 0;
    std::FILE *list = nullptr;  // the --files-from list while open
    bool listDone = false;
    std::vector<Folder> stack;  // the folders being walked, outermost first

    explicit Walk(const Options &o) : options(&o) {}
    ~Walk();
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
};

// Opens the --files-from list if any; false with a message when it cannot be read.
bool startWalk(Walk &walk, std::string &message);

// The next name to probe; false when there are no more.
bool nextItem(Walk &walk, Item &item);
