// The host-facing exports choose the protocol here, in one place: a session
// speaks SMB1 (NT LM 0.12) wherever the server accepts it, and SMB2 only
// when the server refused that dialect.
#pragma once

#include <cstdint>

struct SmbSession;

// What SMBConnect does, at the given TCP port (0 meaning 139); tests and the
// fuzz target use it to reach a scripted server on a loopback port.
int32_t SmbConnectAnyAtPort(const char *serverAddress, const char *serverName,
                            const char *sharePath, int32_t port, SmbSession **sessionOut);

// True when an SMB1 connect that failed with reason means the server will
// not speak NT LM 0.12: it refused the dialect, closed the connection on it,
// or answered with something that is not an SMB1 reply (an SMB2 one).
bool SmbDialectRefused(int reason);
