#!/usr/bin/env python3
"""Writes the seeds of fuzz_smb_server into fuzz/corpus/smb_server/.

Each seed is the whole byte stream a server sends to the client of
smb_server_fuzz.cpp: session response, NEGOTIATE, SESSION_SETUP_ANDX,
TREE_CONNECT_ANDX, the second SESSION_SETUP_ANDX, OPEN, the raw data of the
READ_RAW requests (the client reads the file in two halves), CLOSE and
READ_ANDX replies of the positional read of the whole file, CLOSE and
TREE_DISCONNECT replies, each framed as a NetBIOS session packet. The replies
follow the SMB (CIFS) layouts as a Samba server sends them.
"""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "smb_server")


def nbt(body, kind=0x00):
    return bytes([kind, (len(body) >> 16) & 1]) + struct.pack(">H", len(body) & 0xFFFF) + body


def smb_body(command, words=b"", data=b"", error_class=0, tid=0, uid=0, flags=0x88, mid=0x1234):
    header = b"\xffSMB" + bytes([command, error_class, 0]) + struct.pack("<H", 0)
    header += bytes([flags]) + struct.pack("<H", 0xC801) + bytes(12)
    header += struct.pack("<HHHH", tid, 0x1234, uid, mid)
    assert len(header) == 32 and len(words) % 2 == 0
    return header + bytes([len(words) // 2]) + words + struct.pack("<H", len(data) & 0xFFFF) + data


def smb(command, words=b"", data=b"", error_class=0, tid=0, uid=0, flags=0x88):
    return nbt(smb_body(command, words, data, error_class, tid, uid, flags))


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def negotiate(max_raw=65536, server="SMBTEST", capabilities=0x0000F3FD, dialect=0, wc17=True):
    words = struct.pack("<HBHHIIII", dialect, 0x03, 50, 1, 16644, max_raw, 0, capabilities)
    words += struct.pack("<QhB", 0x01DC1234_56789ABC, 0, 8)
    challenge = bytes(range(8))
    return smb(0x72, words, challenge + utf16z("WORKGROUP") + utf16z(server))


def session_setup(uid=100):
    words = struct.pack("<BBHH", 0xFF, 0, 0, 1)  # logged on as guest
    return smb(0x73, words, b"Unix\0Samba 4.17.12-Debian\0WORKGROUP\0", uid=uid)


def tree_connect(tid=1, error_class=0):
    if error_class:
        return smb(0x75, error_class=error_class, uid=100)
    words = struct.pack("<BBHH", 0xFF, 0, 0, 1)
    return smb(0x75, words, b"A:\0NTFS\0", tid=tid, uid=100)


def open_reply(size, fid=0x2A, error_class=0):
    if error_class:
        return smb(0x02, error_class=error_class, tid=1, uid=100)
    words = struct.pack("<HHIIH", fid, 0x20, 0x5F000000, size, 0)
    return smb(0x02, words, tid=1, uid=100)


def query_file_info(size, error_class=0):
    """The TRANS2 QUERY_FILE_INFORMATION reply (standard information) as Samba sends it."""
    if error_class:
        return smb(0x32, error_class=error_class, tid=1, uid=100)
    words = struct.pack("<HHHHHHHHHBB", 2, 22, 0, 2, 56, 0, 22, 60, 0, 0, 0)
    data = bytes(5) + struct.pack("<QQIBB", (size + 4095) & ~4095, size, 1, 0, 0)
    return smb(0x32, words, data, tid=1, uid=100)


def raw_data(content, max_raw):
    """The raw replies for the client's two reads of the whole content."""
    limit = 0xFFFF if max_raw == 0x10000 else max_raw
    half = len(content) // 2
    out = b""
    for part in (content[:half], content[half:]):
        for at in range(0, len(part), limit):
            out += nbt(part[at:at + limit])
    return out


def read_andx(mid, data, length24=False):
    """A READ_ANDX reply to the request with mid: the data after one pad byte."""
    words = struct.pack("<BBHHHHHHHQ", 0xFF, 0, 0, 0xFFFF, 0, 0, len(data) & 0xFFFF, 60,
                        len(data) >> 16, 0)
    body = smb_body(0x2E, words, b"\0" + data, tid=1, uid=100, mid=mid)
    if length24:  # a large reply: the flags byte carries the length's top bits
        return bytes([0]) + struct.pack(">I", len(body))[1:] + body
    return nbt(body)


def positional(content, piece, order, session_mid=0x1234, length24=False):
    """READ_ANDX replies to the read of the whole content in pieces, in order."""
    parts = [content[at:at + piece] for at in range(0, len(content), piece)] or [b""]
    return b"".join(read_andx(session_mid + 1 + i, parts[i], length24) for i in order)


def close_reply():
    return smb(0x04, tid=1, uid=100)


def tree_disconnect():
    return smb(0x71, tid=1, uid=100)


POSITIVE = nbt(b"", 0x82)
KEEPALIVE = nbt(b"", 0x85)


NO_LARGE_READX = 0x0000F3FD & ~0x4000
NO_LARGE_FILES = 0x0000F3FD & ~0x0008
FAR_START = 0xFFFFFF80  # where odd-sized inputs open their file
SMALL_PIECE = 16644 - 64  # what the client asks per READ_ANDX without large reads


def whole_read(content, max_raw=65536, server="SMBTEST", keepalives=False, capabilities=0x0000F3FD,
               order=None, size=None):
    """The dialogue of an even-sized input: the file read from its start. With
    size, an odd-sized one: a file of that size read from FAR_START."""
    large = capabilities & 0x4000
    piece = 1 << 20 if large else SMALL_PIECE
    count = max(1, -(-len(content) // piece))
    true_size = len(content) if size is None else size
    replies = [POSITIVE, negotiate(max_raw, server, capabilities), session_setup(), tree_connect(),
               session_setup(101), open_reply(true_size & 0xFFFFFFFF)]
    if capabilities & 0x0008:
        replies.append(query_file_info(true_size))
    replies += [raw_data(content, max_raw),
                positional(content, piece, order or range(count), length24=bool(large)),
                close_reply(), tree_disconnect()]
    if keepalives:
        replies = [r if i < 1 else KEEPALIVE + r for i, r in enumerate(replies)]
    return with_parity(b"".join(replies), odd=size is not None)


def with_parity(stream, odd):
    """The client picks its path by the input's parity; a byte after the
    dialogue, which the client never reads, sets it."""
    return stream if len(stream) % 2 == int(odd) else stream + b"\0"


SEEDS = {
    "read_small": whole_read(b"ID3 tiny file\n"),
    "read_chunked": whole_read(bytes(range(256)) * 3, max_raw=100),
    "read_long_name": whole_read(b"0123456789" * 20, server="FIFTEENCHARSRVR"),
    "read_with_keepalives": whole_read(b"abcdefgh", max_raw=3, keepalives=True),
    "read_empty_file": whole_read(b""),
    "read_at_out_of_order": whole_read(bytes(range(251)) * 160, capabilities=NO_LARGE_READX,
                                       order=[2, 0, 1]),
    "read_at_large_reply": whole_read(bytes(range(7)) * 18730),  # a reply above 128 KiB
    "read_no_large_files": whole_read(b"no size query" * 7, capabilities=NO_LARGE_FILES),
    "read_across_4g_unicode": whole_read(bytes(range(256)), size=FAR_START + 256),
    "size_query_refused": with_parity(
        POSITIVE + negotiate() + session_setup() + tree_connect() + session_setup(101)
        + open_reply(5) + query_file_info(0, error_class=1) + close_reply() + tree_disconnect(),
        odd=False),
    "raw_late_after_short": with_parity(
        POSITIVE + negotiate(16) + session_setup() + tree_connect() + session_setup(101)
        + open_reply(40) + query_file_info(40) + nbt(b"x" * 15) + nbt(b"y" * 16) + nbt(b"z" * 16),
        odd=False),
    "share_refused": POSITIVE + negotiate() + session_setup() + tree_connect(error_class=2)
    + session_setup(101),
    "open_refused": POSITIVE + negotiate() + session_setup() + tree_connect() + session_setup(101)
    + open_reply(0, error_class=1) + tree_disconnect(),
    "session_refused": nbt(b"\x82", 0x83),
    "raw_short": with_parity(
        POSITIVE + negotiate(16) + session_setup() + tree_connect() + session_setup(101)
        + open_reply(40) + query_file_info(40) + nbt(b"x" * 16) + nbt(b"y" * 3), odd=False),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
