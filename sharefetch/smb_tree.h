// Tree connections (TREE_CONNECT_ANDX, TREE_DISCONNECT) and the host-facing
// life cycle: socket layer start and stop, connect and disconnect.
#pragma once

#include <cstdint>

#include "smb_session.h"

// One tree connection, kept in its session's doubly linked tree list.
struct SmbTree {
    SmbTree *next;
    SmbTree *prev;
    SmbSession *session;  // not owned
    char sharePath[129];
    char service[20];
    uint32_t tid;
};

// TREE_CONNECT_ANDX request and reply share one buffer of this size.
inline constexpr int32_t kSmbTreeConnectBufferSize = 250;
inline constexpr int32_t kSmbTreeDisconnectBufferSize = 50;
inline constexpr int32_t kSmbTreeDisconnectLength = 35;
// Service string of a disk share.
inline constexpr const char *kSmbDiskService = "A:";

// Connects sharePath with service on session; the new tree is appended to
// the session's tree list. Null on any failure (nothing sent when the
// request would not fit its buffer), with nothing added.
SmbTree *SmbTreeConnect(SmbSession *session, const char *sharePath, const char *service);
// 1 when the server confirmed the disconnect and the tree was unlinked and
// released; -1 otherwise, with the tree untouched.
int32_t SmbTreeDisconnect(SmbTree *tree);
// Unlinks tree from its session's list and releases it, without a message.
void SmbTreeRelease(SmbTree *tree);

// What SMBConnect does, at the given TCP port (0 meaning 139); tests and the
// fuzz target use it to reach a scripted server on a loopback port.
int32_t SmbConnectAtPort(const char *serverAddress, const char *serverName,
                         const char *sharePath, int32_t port, SmbSession **sessionOut);
// What SMBDisonnect does for an SMB1 session.
int32_t Smb1Disconnect(SmbSession *session);
