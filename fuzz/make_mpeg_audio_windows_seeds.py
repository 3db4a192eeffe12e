#!/usr/bin/env python3
"""Writes seeds of fuzz_mpeg_audio_windows into fuzz/corpus/mpeg_audio_windows/.

Each seed is two bytes that choose the window sizes (0 and 0: the smallest,
2 * (2881 + 4) bytes), then the file. The files put frame pairs where the
windows end: pairs of the longest frame (MPEG-2.5 Layer II, 160 kbit/s,
8000 Hz, padded: 2881 bytes) whose first header sits on either side of the
last place a first header can be paired inside the first window, and a
tagged ("Xing") file whose walk crosses window edges with frames of every
length class.
"""
import os

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "mpeg_audio_windows")
LONGEST = bytes.fromhex("FFE5EA00")
LONGEST_LENGTH = 2881
LOOKAHEAD = LONGEST_LENGTH + 4
WINDOW = 2 * LOOKAHEAD
EDGE = WINDOW - LOOKAHEAD  # the last first-header offset paired in the first window


def put(area, at, data):
    area[at:at + len(data)] = data


def longest_pair(at):
    area = bytearray(WINDOW + LOOKAHEAD + 64)
    put(area, at, LONGEST)
    put(area, at + LONGEST_LENGTH, LONGEST)
    return bytes([0, 0]) + bytes(area)


def walk_across_edges():
    # MPEG-1 Layer III 128 kbit/s 44100 Hz, tagged, then frames of 417, 208
    # (64 kbit/s), 2881 and 1441 (MPEG-2.5 Layer III 160 kbit/s 8000 Hz) bytes.
    frames = [("FFFB9064", 417)] + [("FFFB9064", 417), ("FFFB5064", 208),
                                    ("FFE5EA00", 2881), ("FFE3EA00", 1441)] * 6
    area = bytearray()
    for header, length in frames:
        frame = bytearray(length)
        put(frame, 0, bytes.fromhex(header))
        area += frame
    put(area, 36, b"Xing")
    return bytes([0, 0]) + bytes(area)


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {f"longest_pair_at_edge{d:+d}": longest_pair(EDGE + d) for d in (-1, 0, 1, 2)}
    seeds["walk_across_edges"] = walk_across_edges()
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
