#!/usr/bin/env python3
"""Turns the Google Benchmark JSON of mediaprobe_bench and sharefetch_bench
into one Markdown table with ratios and the issue's targets.

usage: report.py MEDIAPROBE_JSON SHAREFETCH_JSON

Every figure is the median over the repetitions of one run. Times are wall
clock; MB/s are 10^6 bytes per second.
"""
import json
import sys


def load(path):
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}
    runs = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            runs.setdefault(b["run_name"].split("/iterations")[0].split("/min_time")[0],
                            {"error": b.get("error_message", "failed")})
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].split("/iterations")[0].split("/min_time")[0]
        name = name.replace("/real_time", "").replace("/manual_time", "")
        runs[name] = b
    return runs


SCALE = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def usec(run):
    """Wall time per iteration in microseconds, or None."""
    if not run or "error" in run:
        return None
    return run["real_time"] * SCALE[run["time_unit"]]


def cpu_usec(run):
    if not run or "error" in run:
        return None
    return run["cpu_time"] * SCALE[run["time_unit"]]


def mbps(run):
    if not run or "error" in run or "bytes_per_second" not in run:
        return None
    return run["bytes_per_second"] / 1e6


def fmt(v, digits=1):
    if v is None:
        return "n/a"
    if abs(v) >= 100:
        return f"{v:,.0f}"
    return f"{v:.{digits}f}"


def ratio(a, b):
    """a / b as 'N.NN×', or n/a."""
    if a is None or b is None or b == 0:
        return "n/a"
    return f"{a / b:.2f}×"


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append(f"| **{title}** | | | | |")

    def row(self, what, ours, theirs, r, note=""):
        self.rows.append(f"| {what} | {ours} | {theirs} | {r} | {note} |")

    def render(self):
        head = ["| Measure | mediaprobe / sharefetch | peer | ratio | note |",
                "|---|---:|---:|---:|---|"]
        return "\n".join(head + self.rows)


def main():
    mp = load(sys.argv[1])
    sf = load(sys.argv[2])
    t = Table()
    targets = []

    t.section("MP3, per file (µs per call, warm cache, contenders in turn)")
    turn = mp.get("mp3/in_turn") or {}

    def mp3(name):
        return None if "error" in turn else turn.get(name)

    cbr_vs_taglib, cbr_vs_floor = [], []
    for label, what in (("cbr", "CBR 128 kbit/s, 30 s, 481 kB"),
                        ("cbr_id3v2", "CBR with ID3v2 tag"),
                        ("vbr_small", "VBR -V2, 60 s, 950 kB (frame walk)")):
        ours = mp3(f"{label}_mediaprobe_us")
        taglib = mp3(f"{label}_taglib_us")
        floor = mp3(f"{label}_read_floor_us")
        t.row(f"{what}: getMP3MetaInfo vs TagLib", fmt(ours), fmt(taglib), ratio(taglib, ours),
              "TagLib time / ours (above 1: we are faster)")
        t.row(f"{what}: getMP3MetaInfo vs the floor (open, fstat, 16 KiB pread, close)",
              fmt(ours), fmt(floor, 2), ratio(ours, floor), "ours / floor")
        if label == "vbr_small":
            plain = mp3("vbr_small_plain_read_us")
            t.row(f"{what}: getMP3MetaInfo vs plain read of the whole file (1 MiB buffer)",
                  fmt(ours), fmt(plain), ratio(ours, plain), "ours / plain read")
        if label != "vbr_small" and None not in (ours, taglib, floor):
            cbr_vs_taglib.append(taglib / ours)
            cbr_vs_floor.append(ours / floor)
        theirs = usec(mp.get(f"mp3/{label}/mediainfo"))
        t.row(f"{what}: getMP3MetaInfo vs MediaInfoLib (separate runs)", fmt(ours), fmt(theirs),
              ratio(theirs, ours), "peer time / ours")

    def geomean(values):
        if not values:
            return None
        product = 1.0
        for v in values:
            product *= v
        return product ** (1 / len(values))

    g_taglib, g_floor = geomean(cbr_vs_taglib), geomean(cbr_vs_floor)
    targets.append(("getMP3MetaInfo CBR ≥ 3× faster than TagLib (geometric mean, with and without ID3v2)",
                    "n/a" if g_taglib is None else f"{g_taglib:.2f}×",
                    g_taglib is not None and g_taglib >= 3))
    targets.append(("getMP3MetaInfo CBR within 1.5× of the floor (geometric mean)",
                    "n/a" if g_floor is None else f"{g_floor:.2f}×",
                    g_floor is not None and g_floor <= 1.5))

    t.section("MP3 VBR walk, 100 MB file (MB/s, contenders in turn)")
    walk = mp3("vbr_100MB_mediaprobe_MBps")
    plain = mp3("vbr_100MB_plain_read_MBps")
    t.row("getMP3MetaInfo walk vs plain read into one reused 1 MiB buffer", fmt(walk), fmt(plain),
          ratio(walk, plain), "ours / floor")
    for peer, pname in (("taglib", "TagLib"), ("mediainfo", "MediaInfoLib")):
        ours = usec(mp.get("mp3/vbr_100MB/mediaprobe"))
        theirs = usec(mp.get(f"mp3/vbr_100MB/{peer}"))
        t.row(f"per file (µs, separate runs) vs {pname}", fmt(ours), fmt(theirs), ratio(theirs, ours),
              "peers read the Xing counts instead of walking")
    targets.append(("VBR walk ≥ 0.8× plain read of the same file", ratio(walk, plain),
                    walk is not None and plain is not None and walk >= 0.8 * plain))

    t.section("Other formats, per call (µs)")
    for fam, what in (("wav", "WAVE 44.1 kHz stereo, 5 MB"), ("avi", "AVI MJPEG 640×480, 10 s"),
                      ("jpeg", "JPEG 1920×1080"), ("gif", "GIF 640×480"),
                      ("bmp", "BMP 1920×1080")):
        ours = usec(mp.get(f"{fam}/mediaprobe"))
        for peer, pname in (("mediainfo", "MediaInfoLib"), ("stbi_info", "stbi_info")):
            key = f"{fam}/{peer}"
            if key not in mp:
                continue
            theirs = usec(mp.get(key))
            t.row(f"{what} vs {pname}", fmt(ours), fmt(theirs), ratio(theirs, ours),
                  "peer time / ours")

    t.section("SMB bulk read of 100 MiB over loopback (MB/s, readers in turn)")
    bulk = sf.get("smb/bulk/in_turn") or {}

    def rate(reader):
        return None if "error" in bulk else bulk.get(f"{reader}_MBps")

    def cpu(reader):
        return None if "error" in bulk else bulk.get(f"{reader}_cpu_s_per_GiB")

    ours, raw = rate("sharefetch"), rate("raw_readraw")
    t.row("sharefetch vs bare READ_RAW loop (ceiling of the protocol)", fmt(ours), fmt(raw),
          ratio(ours, raw), "ours / ceiling")
    targets.append(("sharefetch bulk ≥ 0.95× the bare READ_RAW loop", ratio(ours, raw),
                    ours is not None and raw is not None and ours >= 0.95 * raw))
    for peer, pname in (("libsmbclient_nt1", "libsmbclient, NT1"),
                        ("libsmbclient_smb3", "libsmbclient, default (SMB3)"),
                        ("tcp_loopback", "plain TCP, two processes (ceiling)")):
        t.row(f"sharefetch vs {pname}", fmt(ours), fmt(rate(peer)), ratio(ours, rate(peer)),
              "ours / peer")
    for peer, pname in (("smbclient_cmd_nt1", "smbclient command, NT1"),
                        ("smbclient_cmd_smb3", "smbclient command, default (SMB3)")):
        theirs = mbps(sf.get(f"smb/bulk/{peer}"))
        t.row(f"sharefetch vs {pname}", fmt(ours), fmt(theirs), ratio(ours, theirs),
              "ours / peer (its own rate, separate runs)")

    t.section("Client CPU (user+system) per GiB read (s/GiB)")
    ours = cpu("sharefetch")
    for peer, pname in (("libsmbclient_nt1", "libsmbclient, NT1"),
                        ("libsmbclient_smb3", "libsmbclient, default (SMB3)"),
                        ("raw_readraw", "bare READ_RAW loop"),
                        ("tcp_loopback", "plain TCP receive")):
        theirs = cpu(peer)
        t.row(f"sharefetch vs {pname}", fmt(ours, 3), fmt(theirs, 3), ratio(ours, theirs),
              "ours / peer (below 1: we use less)")
    best = min((v for v in (cpu("libsmbclient_nt1"), cpu("libsmbclient_smb3")) if v is not None),
               default=None)
    targets.append(("sharefetch CPU/GiB ≤ 0.5× libsmbclient's (the lower of NT1, SMB3)",
                    ratio(ours, best), ours is not None and best is not None and ours <= 0.5 * best))

    t.section("Bulk read of 64 MiB through the delay proxy (MB/s and CPU s/GiB, clients in turn)")
    delay = sf.get("smb/delay/in_turn") or {}

    def via(route, reader, kind="MBps"):
        return None if "error" in delay else delay.get(f"{route}/{reader}_{kind}")

    for route, what in (("loopback", "straight on loopback"), ("proxy_0ms", "proxy, 0 ms each way"),
                        ("proxy_1ms", "proxy, 1 ms each way"), ("proxy_10ms", "proxy, 10 ms each way")):
        ours = via(route, "readat")
        faster = max((v for v in (via(route, "smbclient_nt1"), via(route, "smbclient_smb3"))
                      if v is not None), default=None)
        t.row(f"{what}: SMBReadFileAt vs the faster smbclient mode", fmt(ours), fmt(faster),
              ratio(ours, faster), "ours / peer (its own rate)")
        for peer, pname in (("readfile", "SMBReadFile"), ("libsmbclient_nt1", "libsmbclient, NT1"),
                            ("libsmbclient_smb3", "libsmbclient, default")):
            t.row(f"{what}: SMBReadFileAt vs {pname}", fmt(ours), fmt(via(route, peer)),
                  ratio(ours, via(route, peer)), "ours / peer")
        cpu_ours, cpu_raw = via(route, "readat", "cpu_s_per_GiB"), via(route, "readfile", "cpu_s_per_GiB")
        t.row(f"{what}: CPU s/GiB, SMBReadFileAt vs SMBReadFile", fmt(cpu_ours, 3), fmt(cpu_raw, 3),
              ratio(cpu_ours, cpu_raw), "ours / peer (below 1: we use less)")
        targets.append((f"SMBReadFileAt ≥ the faster smbclient mode, {what}", ratio(ours, faster),
                        ours is not None and faster is not None and ours >= faster))
        targets.append((f"SMBReadFileAt CPU/GiB ≤ SMBReadFile's, {what}", ratio(cpu_ours, cpu_raw),
                        cpu_ours is not None and cpu_raw is not None and cpu_ours <= cpu_raw))

    t.section("Connect, open, read 1 KiB, close, disconnect (µs per round, clients in turn)")
    turn = sf.get("smb/latency/in_turn") or {}

    def lat(client, kind=""):
        return None if "error" in turn else turn.get(f"{client}{kind}_us")

    ours, ours_cpu = lat("sharefetch"), lat("sharefetch", "_cpu")
    for peer, pname in (("libsmbclient_nt1", "libsmbclient, NT1"),
                        ("libsmbclient_smb3", "libsmbclient, default (SMB3)"),
                        ("raw_readraw", "bare exchange, same messages")):
        t.row(f"wall: sharefetch vs {pname}", fmt(ours), fmt(lat(peer)), ratio(ours, lat(peer)),
              "ours / peer")
        t.row(f"client CPU: sharefetch vs {pname}", fmt(ours_cpu), fmt(lat(peer, "_cpu")),
              ratio(ours_cpu, lat(peer, "_cpu")), "ours / peer")
    floor = lat("session_request_floor")
    t.row("floor: TCP connect + NetBIOS session request + close (the server forks here)",
          "", fmt(floor), "", "paid by every client of this server")
    if floor is not None and ours is not None:
        for peer, pname in (("libsmbclient_nt1", "libsmbclient, NT1"),
                            ("libsmbclient_smb3", "libsmbclient, default (SMB3)")):
            theirs = lat(peer)
            above = None if theirs is None else theirs - floor
            t.row(f"above the floor: sharefetch vs {pname}", fmt(ours - floor), fmt(above),
                  ratio(ours - floor, above), "ours / peer")
    best = min((v for v in (lat("libsmbclient_nt1"), lat("libsmbclient_smb3")) if v is not None),
               default=None)
    targets.append(("sharefetch connect-to-disconnect ≤ 0.2× libsmbclient's (the faster of NT1, SMB3)",
                    ratio(ours, best), ours is not None and best is not None and ours <= 0.2 * best))

    print(t.render())
    print()
    print("| Target (issues 7 and 13) | measured | met |")
    print("|---|---:|---|")
    for what, measured, met in targets:
        print(f"| {what} | {measured} | {'yes' if met else 'NO'} |")
    errors = [f"{k}: {v['error']}" for src in (mp, sf) for k, v in src.items() if "error" in v]
    if errors:
        print()
        print("Failed benchmarks: " + "; ".join(errors))


if __name__ == "__main__":
    main()
