/*
 * sharefetch: read files from an SMB share over NetBIOS (TCP port 139).
 *
 * One session talks to one server and one disk share, logged on as guest with
 * the "NT LM 0.12" dialect. Files are opened by path, read sequentially with
 * raw reads straight into the caller's buffer, and closed. Nothing is ever
 * written to the server.
 *
 * Usage:
 *   SMBStartup();
 *   SmbSession *s; SmbFile *f;
 *   if (SMBConnect("192.0.2.7", "FILESERVER", "\\\\FILESERVER\\MEDIA", &s) == 1) {
 *       if (SMBOpenFile(s, "\\music\\song.mp3", 0, &f) == 1) {
 *           uint32_t n = SMBGetFileSize(f);
 *           ... SMBReadFile(f, n, buf) ...
 *           SMBCloseFile(f);
 *       }
 *       SMBDisonnect(s);
 *   }
 *   SMBShutdown();
 *
 * Ownership: the host owns each session from SMBConnect to SMBDisonnect and
 * each file from SMBOpenFile to SMBCloseFile. Close every file of a session
 * before disconnecting it; the session does not track its files.
 *
 * Threads: a session and its files are used by one thread at a time.
 * Different sessions are independent.
 *
 * Waits: 8 s for the TCP connect and before each packet read, 3 s before each
 * read that discards surplus bytes, and up to 8 s for the socket to take the
 * rest of a request it took only in part. No call blocks longer than its
 * waits.
 *
 * Broken sessions: a time-out, a closed connection, or a reply that is
 * short, too long, malformed or not the answer to its request breaks the
 * session: its connection is closed at once and every later call on the
 * session and its files fails at once (SMBOpenFile 0, SMBReadFile
 * SMB_READ_BAD_REPLY, errno ENOTCONN). SMBCloseFile and SMBDisonnect still
 * release the handles, without waiting. After a negative SMBReadFile: close
 * the file, disconnect, and connect again. A refusal in good order (missing
 * file, refused share) does not break the session.
 *
 * Errors: on failure SMBConnect, SMBOpenFile and SMBReadFile leave a reason
 * in errno (thread-local); a success leaves errno as it was.
 *   ECONNREFUSED     nothing listening at the address, or the server refused
 *                    the NetBIOS session
 *   ETIMEDOUT        no answer within the wait
 *   ECONNRESET       connection lost (closed or reset by the server)
 *   EPIPE            connection lost while sending
 *   EPROTONOSUPPORT  the server refused NT LM 0.12 (SMB1) and every SMB2
 *                    dialect offered (2.0.2 to 3.0.2)
 *   EACCES           guest logon refused (SMBConnect); share refused, share
 *                    that needs encryption (SMB1 servers say no more than
 *                    "access denied" for it), or access to the file denied
 *                    (SMBOpenFile)
 *   ENOENT           no such file or folder (SMBOpenFile)
 *   ENOTCONN         the session broke earlier (see above)
 *   EPROTO           a reply made no sense: malformed, too long, or not the
 *                    answer to the request (the session is broken)
 *   EIO              a raw read came back short or empty: the range passes
 *                    the end of the file, or the server refused raw reads
 *                    (the session is broken); other server errors
 *   EINVAL           NULL arguments, a bad address text, a count or range
 *                    out of bounds
 *   ENAMETOOLONG     a share path or file path too long for its request
 *   ENOMEM           out of memory
 *   EOPNOTSUPP       the server allows no raw reads (raw size 0)
 */
#ifndef SHAREFETCH_H
#define SHAREFETCH_H

#include <stdint.h>

#if defined(SHAREFETCH_BUILDING)
#define SHAREFETCH_API __attribute__((visibility("default")))
#else
#define SHAREFETCH_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles. */
typedef struct SmbSession SmbSession;
typedef struct SmbFile SmbFile;

/* Negative results of SMBReadFile. */
#define SMB_READ_NO_RECEIVE_NODE (-1) /* memory for the receive node exhausted */
#define SMB_READ_NO_REQUEST_NODE (-2) /* memory for the request exhausted */
#define SMB_READ_SEND_FAILED (-3)     /* a READ_RAW request could not be sent */
#define SMB_READ_BAD_REPLY (-5)       /* a raw reply did not bring exactly the chunk asked for
                                         (time-out, closed connection, short or long reply),
                                         or the session broke earlier */
#define SMB_READ_BAD_ARGUMENT (-6)    /* NULL handle or buffer, count of 2^31 or more, or a
                                         range ending past 2^32 on a server without large
                                         files */
#define SMB_READ_NO_RAW_SIZE (-7)     /* the server allows no raw reads (raw size 0) */

/* Starts the socket layer: 0 on success, 1 on failure. Sockets need no start
 * on this platform, so it returns 0. */
SHAREFETCH_API int32_t SMBStartup(void);

/* Stops the socket layer; always 1. */
SHAREFETCH_API int32_t SMBShutdown(void);

/* Connects to serverAddress (dotted IPv4) port 139, sets up a NetBIOS session
 * to serverName, negotiates, logs on as guest and connects sharePath as a
 * disk share. Returns 1 and a session in *sessionOut when the server accepted
 * the logon, even if it refused the share (files then cannot be opened);
 * returns 0 with *sessionOut NULL otherwise, and 0 at once for a NULL
 * sessionOut. */
SHAREFETCH_API int32_t SMBConnect(const char *serverAddress, const char *serverName,
                                  const char *sharePath, SmbSession **sessionOut);

/* Disconnects the share, closes the connection and releases the session,
 * whatever the server answers. 0 for a NULL handle, else 1. */
SHAREFETCH_API int32_t SMBDisonnect(SmbSession *session);

/* Opens path on the session's share for reading from startOffset
 * (0xFFFFFFFF means 0). 1 and a file in *fileOut on success; 0 with *fileOut
 * NULL otherwise (missing file, refused share, NULL arguments). Names match
 * without regard to case. path (like sharePath of SMBConnect) is UTF-8: one
 * with characters outside ASCII goes in UTF-16 to a server that offers
 * Unicode; ASCII, and bytes that are not UTF-8, go as they are. */
SHAREFETCH_API int32_t SMBOpenFile(SmbSession *session, const char *path, uint32_t startOffset,
                                   SmbFile **fileOut);

/* Reads count bytes from the current offset into buffer (note: count before
 * buffer) and moves the offset past them. Returns count, 0 for a count of 0
 * (whatever the buffer), or one of the negative SMB_READ_* codes. After a
 * failure the buffer holds an unknown part of the range: close the file and,
 * after SMB_READ_SEND_FAILED or SMB_READ_BAD_REPLY, the session too. */
SHAREFETCH_API int32_t SMBReadFile(SmbFile *file, uint32_t count, void *buffer);

/* Size of the file as learnt when it was opened, 0xFFFFFFFF for a size of
 * 4 GiB or more (see SMBGetFileSize64); 0 for a NULL handle. */
SHAREFETCH_API uint32_t SMBGetFileSize(SmbFile *file);

/* Closes the file and releases the handle, whatever the server answers.
 * 0 for a NULL handle, else 1. */
SHAREFETCH_API int32_t SMBCloseFile(SmbFile *file);

/* ---- Additions beyond the original interface ---- */

/* Which protocol a session speaks. When the server refuses NT LM 0.12 (SMB1
 * switched off, the default of current Samba and Windows), SMBConnect
 * connects again and speaks SMB2/3 with an anonymous logon, which is neither
 * signed nor encrypted; every export keeps its meaning. */
#define SMB_DIALECT_NT1 0x0001 /* NT LM 0.12 (SMB1) */
/* The session's dialect: SMB_DIALECT_NT1, or the SMB2 dialect revision
 * (0x0202, 0x0210, 0x0300 or 0x0302); 0 for a NULL handle. */
SHAREFETCH_API uint16_t SMBGetDialect(SmbSession *session);

#define SMB_READ_REFUSED (-8) /* SMBReadFileAt: the server answered a read with an
                                 error (errno says which); the session stays usable */

/* Reads count bytes starting at offset into buffer, with several READ_ANDX
 * requests on the wire at once. Returns the number of bytes read: count, fewer
 * only when the file ends first, 0 at or past its end or for a count of 0;
 * or a negative SMB_READ_* code: SMB_READ_BAD_ARGUMENT for a NULL handle or
 * buffer, a count of 2^31 or more, or a range past 4 GiB on a server without
 * large files; SMB_READ_SEND_FAILED or SMB_READ_BAD_REPLY when the connection
 * failed or a reply did not fit its request (the session is then broken);
 * SMB_READ_REFUSED. A failed call may have written anywhere in
 * buffer[0, count). The offset SMBReadFile keeps does not move, so the two
 * mix freely. */
SHAREFETCH_API int32_t SMBReadFileAt(SmbFile *file, uint64_t offset, uint32_t count,
                                     void *buffer);

/* True size of the file in bytes, as learnt when it was opened: servers that
 * offer large files (all current ones) report sizes of 4 GiB and more here,
 * while SMBGetFileSize stops at 0xFFFFFFFF. 0 for a NULL handle. */
SHAREFETCH_API uint64_t SMBGetFileSize64(SmbFile *file);

#ifdef __cplusplus
}
#endif

#endif /* SHAREFETCH_H */
