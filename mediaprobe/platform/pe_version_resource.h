// Stand-in for the platform's version-resource service: reads the version
// resource (RT_VERSION, a VS_VERSIONINFO tree) of a Windows PE32 or PE32+
// module (.exe, .dll) and answers value lookups in the block it builds.
//
// The module is read with pread into buffers of its own, never mapped, so a
// file that shrinks or is rewritten during a call gives a failed read, not a
// signal. Only the headers, the section table, the resource directory (type,
// name, language: three levels, no deeper) and the version resource (at most
// 64 KiB) are read, each range checked against the file's size first.
//
// Tree rules where writers differ: every value under
// \StringFileInfo\<table>\ is text whatever its wType says, its length
// taken in characters or bytes as found (clipped to the node, ended by its
// NUL); a malformed node (key without its end, a child that leaves it, more
// than eight levels below the root) is dropped with its subtree when its
// wLength keeps it inside its parent, and its neighbours stay; otherwise the
// block is refused.
//
// Layout of a version block (all integers little-endian, as on the host):
//
//   offset 0           the VS_VERSIONINFO resource exactly as the module
//                      carries it (UTF-16; its first WORD, wLength, is the
//                      length of this part). Binary values such as the fixed
//                      file information and the translation array are
//                      answered by pointers into this copy.
//   align4(wLength)    index header: "MPVI", uint32 index bytes (header
//                      included), uint32 node count.
//   then               one record per node of the tree, in document order
//                      (a parent always before its children), 4-aligned:
//                        uint32 record bytes (padding included)
//                        uint32 parent node number (0xFFFFFFFF for the root)
//                        uint32 value offset from the start of the block
//                        uint32 value length: bytes for binary values; for
//                               text, narrow characters (UTF-8 bytes)
//                               including the NUL; 0 when the node has no
//                               value
//                        uint32 1 for text, 0 for binary
//                        key, UTF-8, NUL-terminated
//                        text nodes: the value as UTF-8, NUL-terminated
//
// Keys and texts are converted from UTF-16 (unpaired surrogates become
// U+FFFD). The block size reported for a module is the exact size of this
// layout, so a caller allocates one number and the fill never needs more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Bytes of a version block, 0 when the file is not a PE module, has no
// version resource, or is malformed. *handleOut, when given, is set to 0.
uint32_t versionBlockSize(const char *path, uint32_t *handleOut);

// Fills data (length bytes) with the module's version block. handle is not
// used. Returns non-zero on success; 0 when there is no block or length is
// smaller than versionBlockSize.
int32_t readVersionBlock(const char *path, uint32_t handle, uint32_t length, void *data);

// Looks up a backslash-separated value path ("\\", "\\VarFileInfo\\Translation",
// "\\StringFileInfo\\040904E4\\FileVersion"); empty components are skipped
// and keys compare without regard to ASCII case. On success *valueOut points
// into the block and *lengthOut (when given) receives the value length as
// described above. Returns non-zero on success.
int32_t findVersionValue(const void *block, const char *valuePath, void **valueOut,
                         uint32_t *lengthOut);

// The same reader over a module image in memory, for tests and fuzzing: the
// bytes of its version resource, or false when there is none or the image is
// malformed.
bool locateVersionResource(const uint8_t *image, size_t imageSize, const uint8_t **resource,
                           size_t *resourceSize);

// Builds the version block of a module image into block (cleared first).
// False when the image has no version resource or is malformed.
bool buildVersionBlock(const uint8_t *image, size_t imageSize, std::vector<uint8_t> &block);
