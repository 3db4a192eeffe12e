// Stand-in for the platform's file mapping (open, mapping object, view):
// one read-only view of a whole file, released on every path.
#pragma once

#include <cstddef>
#include <cstdint>

struct ReadOnlyFileView {
    int fd = -1;
    const uint8_t *data = nullptr;
    size_t size = 0;

    ReadOnlyFileView() = default;
    ReadOnlyFileView(const ReadOnlyFileView &) = delete;
    ReadOnlyFileView &operator=(const ReadOnlyFileView &) = delete;
    ~ReadOnlyFileView();
};

// Opens path for reading and maps its whole content read-only into view.
// Returns false, with errno set and nothing left open, when the file cannot
// be opened or mapped (an empty file or a directory cannot be mapped) or is
// larger than maxSize bytes (errno EFBIG).
bool mapWholeFileReadOnly(const char *path, size_t maxSize, ReadOnlyFileView &view);

// Tells the platform that every page of the view is about to be read once,
// front to back, so that it maps them all in one go instead of taking a page
// fault every few pages. Only a hint: the view reads the same without it.
void expectWholeViewRead(const ReadOnlyFileView &view);

// Unmaps the view, then closes the file. Safe to call more than once.
void releaseFileView(ReadOnlyFileView &view);
