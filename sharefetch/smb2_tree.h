// SMB2 tree connection (TREE_CONNECT with the UNC path in UTF-16,
// TREE_DISCONNECT) and the connect and disconnect of a whole SMB2 session.
#pragma once

#include <cstdint>

#include "smb2_session.h"

// TREE_CONNECT to sharePath (\\SERVER\SHARE, UTF-8): 0 with treeId set, or
// -1 with treeErrno (and errno) saying why the share was refused.
int32_t Smb2TreeConnect(Smb2Session *session, const char *sharePath);
// TREE_DISCONNECT of the connected tree; 0 when confirmed, else -1.
int32_t Smb2TreeDisconnect(Smb2Session *session);

// What SMBConnect does on the SMB2 path: session, logon and tree. The
// session even when only the share was refused (treeErrno then set); null
// with errno set when no session could be made.
Smb2Session *Smb2ConnectAtPort(const char *serverAddress, const char *serverName,
                               const char *sharePath, int32_t port);
// Disconnects the tree, logs off and releases the session; accepts null.
void Smb2Disconnect(Smb2Session *session);
