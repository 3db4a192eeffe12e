/*
 * mediaprobe: questions about one local media file at a time.
 *
 * Every function takes a NUL-terminated path in the system's narrow character
 * set and pointers to the caller's own output variables. Each call opens what
 * it needs, releases it before returning and keeps no state, so calls may run
 * on several threads at once.
 *
 * Results: 1 (or an unsigned char holding 1) for success, 0 for failure,
 * unless a function says otherwise. Outputs are written only as each function
 * documents; an output that is not written keeps the caller's value.
 *
 * Slots marked "unused" are accepted for the host's calling convention and are
 * never read or written; pass anything, NULL included.
 *
 * Three fixed diagnostic lines exist: "fail\n" on standard output for a JPEG
 * without its start-of-image marker, "getVBRInfo()\n" on standard output when
 * the variable-bitrate MP3 walk starts, and perror("mmap") on standard error
 * when getMP3MetaInfo's path exists but cannot be opened or sized as a file to
 * read (an empty file, a folder, a FIFO).
 *
 * Files are read with bounded reads into the library's own buffers, never
 * mapped: a file that shrinks or is rewritten during a call gives a failure
 * (or an answer from the bytes that were read), never a signal. Only regular
 * files are read; a FIFO or a device fails at once, without waiting.
 *
 * Size limits: getFileSize says at most 0x7FFFFFFF (getFileSize64 has no
 * limit); MP3 files of any size are probed and durations stop at INT32_MAX
 * seconds; AVI durations stop at INT32_MAX milliseconds; a module's version
 * resource may be at most 64 KiB (a larger one counts as none).
 */
#ifndef MEDIAPROBE_H
#define MEDIAPROBE_H

#include <stdint.h>

#if defined(MEDIAPROBE_BUILDING)
#define MEDIAPROBE_API __attribute__((visibility("default")))
#else
#define MEDIAPROBE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- File-system queries ---------------------------------------------- */

/* Size in bytes, or -1 for a NULL path or a path that cannot be examined.
 * Works on directories too. A size of 2^31 bytes or more reports 0x7FFFFFFF
 * (INT32_MAX), the largest this result can say; getFileSize64 (below, among
 * the additions) gives the true size. */
MEDIAPROBE_API int32_t getFileSize(const char *path);

/* Last-access time (seconds since 1970-01-01 UTC) of a file or directory into
 * *timeOut. 0 for a NULL argument or a failed stat; *timeOut then untouched. */
MEDIAPROBE_API unsigned char getDIRinfo(const char *path, int32_t *timeOut);

/* Does nothing and returns 1; the nine slots are never read. */
MEDIAPROBE_API unsigned char getDSinfo(void *unused1, void *unused2, void *unused3,
                                       void *unused4, void *unused5, void *unused6,
                                       void *unused7, void *unused8, void *unused9);

/* ---- Version resources of Windows modules (PE .exe/.dll) --------------- */

/* Size of the module's version-information block, 0 when it has none (or
 * one larger than 64 KiB). *handleOut is set to 0 when handleOut is not NULL.
 * Every value under "\\StringFileInfo\\<table>\\" is text, whatever type
 * the module gives it; a malformed entry is left out and its neighbours kept. */
MEDIAPROBE_API uint32_t exported_GetFileVersionInfoSize(const char *fileName, uint32_t *handleOut);

/* Fills the caller's block of `length` bytes with the module's version
 * information. Non-zero on success; 0, with nothing written, when length is
 * smaller than the size exported_GetFileVersionInfoSize reports, data is
 * NULL, or the module has no (readable) version resource. */
MEDIAPROBE_API int32_t exported_GetFileVersionInfo(const char *fileName, uint32_t handle,
                                                   uint32_t length, void *data);

/* Looks up a backslash-separated value path in a filled block: "\\" gives the
 * fixed file information, "\\VarFileInfo\\Translation" the translation array,
 * "\\StringFileInfo\\<lang+codepage>\\<Name>" the value's NUL-terminated text.
 * *bufferOut points into the block; *lengthOut is in characters (text,
 * terminator included) or bytes (binary values). Keys ignore case.
 * Non-zero on success. */
MEDIAPROBE_API int32_t exported_VerQueryValue(const void *block, const char *subBlock,
                                              void **bufferOut, uint32_t *lengthOut);

/* Copies the FileVersion text under "\\StringFileInfo\\040904E4" into out.
 * out[0] is cleared first. Exactly min(outLength, value length) bytes are
 * written, NUL-padded; when outLength is shorter than the value there is no
 * terminator. 1 when found, 0 otherwise (also for a NULL out). */
MEDIAPROBE_API int32_t exported_GetFileVersionInfo_FileVersion(const char *fileName, char *out,
                                                               uint32_t outLength);

/* ---- MPEG audio -------------------------------------------------------- */

/* Bitrate (kbit/s), sample rate (Hz) and duration (whole seconds) of an MPEG
 * audio file (MPEG-1, 2 and 2.5, Layers I to III; any size). Constant-bitrate
 * files report their first frame; files whose first frame carries a "Xing"
 * tag report the average over all later frames. The duration counts audio
 * bytes only: from the first frame on, less a trailing 128-byte ID3v1 tag;
 * it saturates at INT32_MAX. A leading ID3v2 tag is skipped by its declared
 * size when frames follow it.
 * 1 when all three outputs were written. 0 on failure, and at once, without
 * opening the file, when any output pointer is NULL. A file that shrinks
 * during the call gives 0 or an answer from bytes really read, never a
 * signal; when that happens during the frame walk of a "Xing" file, 0 is
 * returned with only the sample rate written. */
MEDIAPROBE_API unsigned char getMP3MetaInfo(const char *path, int32_t *bitrateOut,
                                            int32_t *sampleRateOut, void *unused4,
                                            void *unused5, void *unused6,
                                            int32_t *durationOut);

/* ---- Pictures ---------------------------------------------------------- */

/* The three picture probes read regular files only: a FIFO, a device or a
 * directory fails at once (0) without a byte read or an output written, and
 * without waiting for a writer. When either output pointer is NULL the result
 * is 0 and neither output is written (not even the BMP probe's clearing). */

/* Height, then width, of the last start-of-frame (SOF0..SOF3) before the
 * start of scan. Outputs are written as soon as a frame header is read, even
 * if the file later proves truncated (result 0). A file not starting with
 * FF D8 prints "fail\n" on standard output and gives 0. */
MEDIAPROBE_API int32_t getJPEGMetaInfo(const char *path, int32_t *heightOut, int32_t *widthOut);

/* Logical screen width and height of a file that starts with "GIF87a" or
 * "GIF89a" and holds at least the 10 header bytes: exactly two bytes
 * (little-endian, as in the file) are written to each output. On failure
 * (no such signature, shorter file) neither output is written. */
MEDIAPROBE_API int32_t getGIFMetaInfo(const char *path, uint16_t *widthOut, uint16_t *heightOut);

/* Width and height from the BMP information header (a negative height marks
 * a top-down picture). Both outputs are set to 0 first and stay 0 on failure:
 * a file not starting with "BM", or cut short inside either header. */
MEDIAPROBE_API int32_t getBMPMetaInfo(const char *path, int32_t *widthOut, int32_t *heightOut);

/* ---- RIFF WAVE --------------------------------------------------------- */

/* Channels, samples per second, average bytes per second, bits per sample
 * and the RIFF chunk's size field. All six arguments must be non-NULL. */
MEDIAPROBE_API unsigned char getWAVMetaInfo(const char *path, uint32_t *channelsOut,
                                            uint32_t *sampleRateOut, uint32_t *byteRateOut,
                                            uint32_t *bitsOut, uint32_t *riffSizeOut);

/* ---- AVI --------------------------------------------------------------- */

/* Always returns 1. durationOut (ms, first video stream, rounded to the
 * nearest and capped at INT32_MAX) is written when the file opens and has a
 * video stream whose rate is not 0; a rate of 0 leaves durationOut as it was.
 * The others are written when the file has a video stream and its main header
 * could be read as well. Any output may be NULL and is then skipped.
 * dataRateOut is the maximum bytes per second / 1000; frameRateOut is
 * rate / scale (a scale of 0 counts as 1). */
MEDIAPROBE_API unsigned char getAVIinfo(const char *path, int32_t *durationOut,
                                        uint32_t *widthOut, uint32_t *heightOut,
                                        uint32_t *dataRateOut, uint32_t *flagsOut,
                                        uint32_t *capsOut, uint32_t *streamsOut,
                                        uint32_t *bufferSizeOut, uint32_t *scaleOut,
                                        uint32_t *rateOut, uint32_t *editCountOut,
                                        uint32_t *frameRateOut, void *unused14,
                                        void *unused15);

/* ---- Additions beyond the original interface ---------------------------- */

/* The true size in bytes of a file or directory, or -1 for a NULL path or a
 * path that cannot be examined. */
MEDIAPROBE_API int64_t getFileSize64(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* MEDIAPROBE_H */
