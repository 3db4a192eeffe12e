// The bare READ_RAW exchange, with nothing around it: the most this protocol
// can move against a given server. The messages are written byte by byte here,
// independently of sharefetch, so that the two can be compared.
#pragma once

#include <cstdint>

struct RawSmbFile {
    int fd = -1;
    uint16_t uid = 0;
    uint16_t tid = 0;
    uint16_t fid = 0;
    uint32_t chunkLimit = 0;  // the server's raw size, at most 65535
    uint32_t size = 0;        // from the OPEN reply
};

// TCP connect to address:139, NetBIOS session request, NEGOTIATE "NT LM 0.12",
// guest SESSION_SETUP_ANDX, TREE_CONNECT_ANDX to share. Blocking socket with
// TCP_NODELAY. false (and nothing left open) on failure.
bool rawSmbConnect(const char *address, const char *serverName, const char *share,
                   RawSmbFile &file);

// Core OPEN of path on the connected tree; fid and size are filled in.
bool rawSmbOpenFile(RawSmbFile &file, const char *path);

// rawSmbConnect, then rawSmbOpenFile; nothing left open on failure.
bool rawSmbOpen(const char *address, const char *serverName, const char *share,
                const char *path, RawSmbFile &file);

// Reads count bytes from offset 0 with one READ_RAW per chunk: one 51-byte
// request, a 4-byte session header, then the data straight into buffer.
// true when every chunk came back whole.
bool rawSmbRead(RawSmbFile &file, uint8_t *buffer, uint32_t count);

// TCP connect and NetBIOS session request only, then the socket is closed:
// what every client on port 139 waits for before its first SMB message (the
// server starts a process for the connection meanwhile).
bool rawSessionRequestOnly(const char *address, const char *serverName);

// CLOSE of the open file; the tree stays connected.
void rawSmbCloseFile(RawSmbFile &file);

// CLOSE, TREE_DISCONNECT, then the socket is closed.
void rawSmbClose(RawSmbFile &file);
