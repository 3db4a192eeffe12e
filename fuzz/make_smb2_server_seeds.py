#!/usr/bin/env python3
"""Writes the seeds of fuzz_smb2_server into fuzz/corpus/smb2_server/.

Each seed is the byte stream of the second connection of
smb2_server_fuzz.cpp (the first refuses NT LM 0.12): session response, then
the SMB2 replies to NEGOTIATE, the two SESSION_SETUP legs, TREE_CONNECT,
CREATE, the READs (the client reads the file in two halves), CLOSE,
TREE_DISCONNECT and LOGOFF, each framed as a NetBIOS session packet. Message
ids count from 0 as the client sends them.
"""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "smb2_server")
NTLMSSP_OID = bytes([0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A])


def nbt(body):
    return bytes([0, len(body) >> 16, (len(body) >> 8) & 0xFF, len(body) & 0xFF]) + body


def smb2(command, mid, body, status=0, credits=64, flags=1):
    header = b"\xfeSMB" + struct.pack("<HHIHHIIQIIQ", 64, 0, status, command, credits, flags,
                                        0, mid, 0, 5, 0x1122334455667788) + bytes(16)
    assert len(header) == 64
    return nbt(header + body)


def der(tag, content):
    if len(content) < 0x80:
        return bytes([tag, len(content)]) + content
    return bytes([tag, 0x81, len(content)]) + content


def challenge_blob():
    msg = b"NTLMSSP\0" + struct.pack("<IHHIIQQHHI", 2, 0, 0, 48, 0xE2898215,
                                      0x0102030405060708, 0, 0, 0, 48)
    fields = der(0xA0, der(0x0A, b"\x01")) + der(0xA1, der(0x06, NTLMSSP_OID))
    fields += der(0xA2, der(0x04, msg))
    return der(0xA1, der(0x30, fields))


def setup_body(blob):
    return struct.pack("<HHHH", 9, 0, 72, len(blob))[:8] + blob


def negotiate_body(dialect, max_read):
    body = struct.pack("<HHHH", 65, 1, dialect, 0) + bytes(16)
    body += struct.pack("<IIII", 0, 1 << 20, max_read, 1 << 20) + bytes(16)
    body += struct.pack("<HHI", 128, 0, 0)
    return body


def create_body(size):
    body = struct.pack("<HBBI", 89, 0, 0, 1) + bytes(32) + struct.pack("<QQII", size, size, 0x20, 0)
    body += struct.pack("<QQII", 0xABCDEF, 0x1234, 0, 0)
    return body


def read_body(data):
    return struct.pack("<HBBIII", 17, 80, 0, len(data), 0, 0) + data


def conversation(dialect=0x0302, size=100000, max_read=65536, pending=False):
    data = bytes((i * 7) & 0xFF for i in range(size))
    out = bytes([0x82, 0, 0, 0])
    out += smb2(0, 0, negotiate_body(dialect, max_read))
    out += smb2(1, 1, setup_body(challenge_blob()), status=0xC0000016)
    out += smb2(1, 2, setup_body(b""))
    out += smb2(3, 3, struct.pack("<HBBIII", 16, 1, 0, 0, 0, 0x1F01FF))
    out += smb2(5, 4, create_body(size))
    mid, half = 5, size // 2
    for start, length in ((0, half), (half, size - half)):
        while length > 0:
            chunk = min(length, max_read)
            if pending:
                out += smb2(8, mid, struct.pack("<HBBI", 9, 0, 0, 0) + b"\0", status=0x103,
                            flags=3)
            out += smb2(8, mid, read_body(data[start:start + chunk]))
            mid, start, length = mid + 1, start + chunk, length - chunk
    out += smb2(6, mid, struct.pack("<HHI", 60, 0, 0) + bytes(56))
    out += smb2(4, mid + 1, struct.pack("<HH", 4, 0))
    out += smb2(2, mid + 2, struct.pack("<HH", 4, 0))
    return out


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {
        "smb302_whole": conversation(),
        "smb202_pending": conversation(dialect=0x0202, size=3000, pending=True),
        "smb210_small_reads": conversation(dialect=0x0210, size=5000, max_read=1024),
    }
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
