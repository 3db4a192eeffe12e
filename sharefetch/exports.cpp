#include "exports.h"

#include <cerrno>
#include <new>

#include "platform/socket_io.h"
#include "sharefetch.h"
#include "smb2_file.h"
#include "smb_file.h"
#include "smb_read_andx.h"

namespace {

SmbFile *smb2FileHandle(Smb2File *file)
{
    auto *handle = new (std::nothrow) SmbFile{};
    if (handle == nullptr) {
        Smb2Close(file);
        errno = ENOMEM;
        return nullptr;
    }
    handle->fid = 0xFFFF;
    handle->smb2 = file;
    return handle;
}

// SMB2 connect with the SMB1 connect's results; the session record only
// carries the SMB2 one.
int32_t connectSmb2(const char *serverAddress, const char *serverName, const char *sharePath,
                    int32_t port, SmbSession **sessionOut)
{
    auto *session = new (std::nothrow) SmbSession{};
    if (session == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    session->smb2 = Smb2ConnectAtPort(serverAddress, serverName, sharePath, port);
    if (session->smb2 == nullptr) {
        delete session;
        return 0;
    }
    *sessionOut = session;
    return 1;
}

int32_t openSmb2(SmbSession *session, const char *path, uint32_t startOffset,
                 SmbFile **fileOut)
{
    if (fileOut == nullptr || path == nullptr) {
        errno = EINVAL;
        return 0;
    }
    *fileOut = nullptr;
    Smb2File *file = Smb2Open(session->smb2, path);
    if (file == nullptr)
        return 0;
    file->readOffset = startOffset == 0xFFFFFFFF ? 0 : startOffset;
    *fileOut = smb2FileHandle(file);
    return *fileOut != nullptr ? 1 : 0;
}

}  // namespace

bool SmbDialectRefused(int reason)
{
    return reason == EPROTONOSUPPORT || reason == ECONNRESET || reason == EPIPE ||
           reason == EPROTO;
}

int32_t SmbConnectAnyAtPort(const char *serverAddress, const char *serverName,
                            const char *sharePath, int32_t port, SmbSession **sessionOut)
{
    if (SmbConnectAtPort(serverAddress, serverName, sharePath, port, sessionOut) == 1)
        return 1;
    if (sessionOut == nullptr || !SmbDialectRefused(errno))
        return 0;
    return connectSmb2(serverAddress, serverName, sharePath, port, sessionOut);
}

extern "C" {

int32_t SMBStartup(void) { return socketLayerStart() ? 0 : 1; }

int32_t SMBShutdown(void)
{
    socketLayerStop();
    return 1;
}

int32_t SMBConnect(const char *serverAddress, const char *serverName, const char *sharePath,
                   SmbSession **sessionOut)
{
    return SmbConnectAnyAtPort(serverAddress, serverName, sharePath, 0, sessionOut);
}

int32_t SMBDisonnect(SmbSession *session)
{
    if (session == nullptr || session->smb2 == nullptr)
        return Smb1Disconnect(session);
    Smb2Disconnect(session->smb2);
    delete session;
    return 1;
}

uint16_t SMBGetDialect(SmbSession *session)
{
    if (session == nullptr)
        return 0;
    return session->smb2 != nullptr ? session->smb2->dialect : SMB_DIALECT_NT1;
}

int32_t SMBOpenFile(SmbSession *session, const char *path, uint32_t startOffset,
                    SmbFile **fileOut)
{
    if (session == nullptr || session->smb2 == nullptr)
        return Smb1OpenFile(session, path, startOffset, fileOut);
    return openSmb2(session, path, startOffset, fileOut);
}

int32_t SMBReadFile(SmbFile *file, uint32_t count, void *buffer)
{
    if (file == nullptr || file->smb2 == nullptr)
        return Smb1ReadFile(file, count, buffer);
    return Smb2ReadNext(file->smb2, count, buffer);
}

int32_t SMBReadFileAt(SmbFile *file, uint64_t offset, uint32_t count, void *buffer)
{
    if (file == nullptr || file->smb2 == nullptr)
        return Smb1ReadFileAt(file, offset, count, buffer);
    return Smb2ReadFileAt(file->smb2, offset, count, buffer);
}

uint32_t SMBGetFileSize(SmbFile *file)
{
    if (file == nullptr || file->smb2 == nullptr)
        return Smb1GetFileSize(file);
    return file->smb2->size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(file->smb2->size);
}

uint64_t SMBGetFileSize64(SmbFile *file)
{
    if (file == nullptr || file->smb2 == nullptr)
        return Smb1GetFileSize64(file);
    return file->smb2->size;
}

int32_t SMBCloseFile(SmbFile *file)
{
    if (file == nullptr || file->smb2 == nullptr)
        return Smb1CloseFile(file);
    Smb2Close(file->smb2);
    delete file;
    return 1;
}

}  // extern "C"
