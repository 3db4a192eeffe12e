#include "smb_file_info.h"

#include <cerrno>
#include <cstring>

namespace {

inline constexpr uint8_t kSmbComTransaction2 = 0x32;
inline constexpr uint16_t kTrans2QueryFileInformation = 0x0007;
inline constexpr uint16_t kQueryFileStandardInfo = 0x0102;

// TRANS2 request: word count 15, one setup word, the parameters behind the
// byte count after an empty name and padding to a 4-byte boundary.
namespace request {
inline constexpr int32_t kWordCount = 15;
inline constexpr int32_t kTotalParameterCount = 33;
inline constexpr int32_t kMaxParameterCount = 37;
inline constexpr int32_t kMaxDataCount = 39;
inline constexpr int32_t kParameterCount = 51;
inline constexpr int32_t kParameterOffset = 53;
inline constexpr int32_t kDataOffset = 57;
inline constexpr int32_t kSetupCount = 59;
inline constexpr int32_t kSetup = 61;
inline constexpr int32_t kByteCount = 63;
inline constexpr int32_t kParameters = 68;  // FID, information level
inline constexpr int32_t kParameterLength = 4;
inline constexpr uint32_t kMaxParameters = 2;  // the reply's EA error offset
inline constexpr uint32_t kMaxData = 64;        // standard info is 22 bytes
}  // namespace request

// TRANS2 reply: word count 10; the data block is standard information.
namespace reply {
inline constexpr int32_t kWordCount = 10;
inline constexpr int32_t kTotalDataCount = 35;
inline constexpr int32_t kDataCount = 45;
inline constexpr int32_t kDataOffset = 47;
inline constexpr int32_t kDataDisplacement = 49;
inline constexpr int32_t kByteCount = 53;
inline constexpr int32_t kData = 55;
inline constexpr uint32_t kEndOfFileInData = 8;  // after the allocation size
inline constexpr uint32_t kEndOfFileLength = 8;
}  // namespace reply

void writeQueryFileInfo(uint8_t *bytes, const SmbSession *session, uint16_t tid, uint16_t fid)
{
    using namespace request;
    std::memset(bytes, 0, kSmbQueryFileInfoRequestLength);
    SmbFillHeader(bytes, kSmbComTransaction2, session, tid);
    bytes[kSmbWordCountOffset] = kWordCount;
    SmbPut16(bytes + kTotalParameterCount, kParameterLength);
    SmbPut16(bytes + kMaxParameterCount, kMaxParameters);
    SmbPut16(bytes + kMaxDataCount, kMaxData);
    SmbPut16(bytes + kParameterCount, kParameterLength);
    SmbPut16(bytes + kParameterOffset, kParameters);
    SmbPut16(bytes + kDataOffset, kSmbQueryFileInfoRequestLength);  // no data
    bytes[kSetupCount] = 1;
    SmbPut16(bytes + kSetup, kTrans2QueryFileInformation);
    SmbPut16(bytes + kByteCount, kSmbQueryFileInfoRequestLength - (kByteCount + 2));
    SmbPut16(bytes + kParameters, fid);
    SmbPut16(bytes + kParameters + 2, kQueryFileStandardInfo);
}

// The end-of-file position from a success reply (SmbCheckReply put its
// counts within the message); false when the data block does not carry it
// whole.
bool readEndOfFile(const uint8_t *bytes, uint64_t *size)
{
    using namespace reply;
    if (bytes[kSmbWordCountOffset] < kWordCount)
        return false;
    const uint32_t dataCount = SmbGet16(bytes + kDataCount);
    const uint32_t dataOffset = SmbGet16(bytes + kDataOffset);
    const uint32_t dataEnd = kData + SmbGet16(bytes + kByteCount);
    // One reply with all the data, from the data block only.
    if (SmbGet16(bytes + kTotalDataCount) != dataCount || SmbGet16(bytes + kDataDisplacement) != 0 ||
        dataCount < kEndOfFileInData + kEndOfFileLength || dataOffset < kData ||
        dataOffset + dataCount > dataEnd)
        return false;
    const uint8_t *at = bytes + dataOffset + kEndOfFileInData;
    *size = SmbGet32(at) | (static_cast<uint64_t>(SmbGet32(at + 4)) << 32);
    return true;
}

}  // namespace

int32_t SmbQueryFileSize(SmbSession *session, uint16_t tid, uint16_t fid, uint64_t *size)
{
    BufChain *buffer = BufChainNew(kSmbQueryFileInfoBufferSize);
    if (buffer == nullptr)
        return 0;
    uint8_t *bytes = buffer->data;
    writeQueryFileInfo(bytes, session, tid, fid);
    const int32_t n = SmbExchange(session, buffer, kSmbQueryFileInfoRequestLength, buffer,
                                  kSmbQueryFileInfoBufferSize);
    int32_t result = n < 0 ? -1 : SmbCheckReply(session, bytes, n, kSmbComTransaction2);
    if (result == 1 && !readEndOfFile(bytes, size)) {
        SmbSessionBreak(session, EPROTO);
        result = -1;
    }
    BufChainFree(buffer);
    return result;
}
