#include "walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "names.h"

Walk::~Walk()
{
    if (list && list != stdin) std::fclose(list);
}

namespace {

std::string joined(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Reads a folder's names, sorted bytewise so the output does not depend on
// the file system's order; false with errno set when it cannot be read.
bool readFolder(Folder &folder)
{
    DIR *dir = opendir(folder.path.c_str());
    if (!dir) return false;
    errno = 0;
    while (const dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            folder.names.emplace_back(entry->d_name);
    }
    const int readError = errno;
    closedir(dir);
    std::sort(folder.names.begin(), folder.names.end());
    errno = readError;
    return readError == 0;
}

bool onStack(const Walk &walk, const struct stat &st)
{
    return std::any_of(walk.stack.begin(), walk.stack.end(),
                       [&](const Folder &f) { return f.device == st.st_dev && f.inode == st.st_ino; });
}

// Enters the folder at path (already known to be one); an item carries the
// reason when it cannot be entered.
bool enter(Walk &walk, const std::string &path, const struct stat &st, Item &item)
{
    if (onStack(walk, st)) {
        item = {path, "not entered: a symbolic link leads back into a folder being walked"};
        return true;
    }
    Folder folder{path, {}, 0, st.st_dev, st.st_ino};
    if (!readFolder(folder)) {
        item = {path, std::string("cannot read the folder: ") + std::strerror(errno)};
        return true;
    }
    walk.stack.push_back(std::move(folder));
    return false;
}

// A name from the command line or the list: a folder is entered under -r,
// following a symbolic link the user named, as the user meant that folder.
bool fromUser(Walk &walk, const std::string &path, Item &item)
{
    struct stat st {};
    if (!walk.options->recursive || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        item = {path, {}};
        return true;
    }
    return enter(walk, path, st, item);
}

// An entry met inside a folder: links to folders are entered only with -L.
bool fromFolder(Walk &walk, const std::string &path, Item &item)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && walk.options->followLinks) stat(path.c_str(), &st);
    if (!S_ISDIR(st.st_mode)) {
        item = {path, {}};
        return true;
    }
    return enter(walk, path, st, item);
}

bool nextListed(Walk &walk, std::string &name)
{
    const int end = walk.options->nulSeparated ? '\0' : '\n';
    char *line = nullptr;
    size_t capacity = 0;
    for (ssize_t n; !walk.listDone;) {
        n = getdelim(&line, &capacity, end, walk.list);
        if (n < 0) {
            walk.listDone = true;
            break;
        }
        name.assign(line, static_cast<size_t>(n));
        if (!name.empty() && name.back() == static_cast<char>(end)) name.pop_back();
        if (name.empty()) continue;
        std::free(line);
        return true;
    }
    std::free(line);
    return false;
}

bool nextFromUser(Walk &walk, std::string &name)
{
    const auto &names = walk.options->names;
    if (walk.nextArgument < names.size()) {
        name = names[walk.nextArgument++];
        return true;
    }
    return walk.list && nextListed(walk, name);
}

}  // namespace

bool startWalk(Walk &walk, std::string &message)
{
    const auto &from = walk.options->filesFrom;
    if (!from) return true;
    walk.list = *from == "-" ? stdin : std::fopen(from->c_str(), "rb");
    if (!walk.list) message = "cannot read the list " + printable(*from) + ": " + std::strerror(errno);
    return walk.list != nullptr;
}

bool nextItem(Walk &walk, Item &item)
{
    for (;;) {
        if (!walk.stack.empty()) {
            Folder &top = walk.stack.back();
            if (top.next == top.names.size()) {
                walk.stack.pop_back();
                continue;
            }
            const std::string path = joined(top.path, top.names[top.next++]);
            if (fromFolder(walk, path, item)) return true;
            continue;
        }
        std::string name;
        if (!nextFromUser(walk, name)) return false;
        if (fromUser(walk, name, item)) return true;
    }
}
