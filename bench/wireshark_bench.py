#!/usr/bin/env python3
"""Times tshark reading a capture with the veltra plugin against without it.

    bench/wireshark_bench.py [--plugins build/release/tools/wireshark/plugins]
                             [--packets 100000] [--runs 5]

Writes a capture of PACKETS server-to-client TCP segments on port 6650, one
frame each, in a mix: moves (LONGLOC), compound notifications (four moves in
one frame), chat (TEXT from a long id) and property lists (PROPUPD). Then runs
`tshark -r FILE` (packet summaries) and `tshark -r FILE -V` (every tree) with
WIRESHARK_PLUGIN_DIR at the plugin and at an empty folder (the payload is left
as TCP data), interleaved, and prints the median wall time of RUNS runs each
and the ratio. As root, tshark ignores WIRESHARK_PLUGIN_DIR: it then runs as
nobody. The script reports; it never fails on a slow result.
"""
import argparse
import os
import statistics
import struct
import subprocess
import tempfile
import time


def frame(target, command, body):
    """A frame, length byte first, to a short target id."""
    return bytes([3 + len(body), target, command]) + body


def text(s):
    b = s.encode()
    return bytes([len(b)]) + b


def mix(i):
    move = struct.pack(">hhhh", i % 500, -(i % 300), 0, i % 360)
    kind = i % 4
    if kind == 0:  # LONGLOC
        return frame(1 + i % 200, 1, move)
    if kind == 1:  # compound: four LONGLOC elements, each to its own target
        elements = b"".join(bytes([1 + (i + k) % 200]) + move for k in range(4))
        return frame(254, 1, elements)
    if kind == 2:  # TEXT from a long id
        return frame(1, 14, b"\x00" + text("visitor%d" % (i % 97)) + text("hello number %d" % i))
    entries = b"".join(bytes([pid, 0, 0]) + text(v)  # PROPUPD: id, flags, access, value
                       for pid, v in ((2, "visitor%d" % i), (5, "lobby"), (8, "%d" % i)))
    return frame(255, 16, entries)


def write_capture(path, packets):
    def ip_tcp(seq, ack, flags, payload):
        tcp = struct.pack(">HHIIBBHHH", 6650, 40000, seq, ack, 5 << 4, flags, 65535, 0, 0)
        total = 20 + len(tcp) + len(payload)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, total, 0, 0x4000, 64, 6, 0,
                         bytes([10, 0, 0, 2]), bytes([10, 0, 0, 1]))
        return b"\x00" * 12 + b"\x08\x00" + ip + tcp + payload

    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        seq = 1000
        for i in range(packets):
            payload = mix(i)
            pkt = ip_tcp(seq, 5000, 0x18, payload)
            seq += len(payload)
            f.write(struct.pack("<IIII", i // 1000, (i % 1000) * 1000, len(pkt), len(pkt)))
            f.write(pkt)


def timed(cmd, env):
    start = time.perf_counter()
    subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--plugins", default="build/release/tools/wireshark/plugins")
    ap.add_argument("--packets", type=int, default=100000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    tmp = tempfile.mkdtemp()
    os.chmod(tmp, 0o755)
    path = os.path.join(tmp, "mix.pcap")
    write_capture(path, args.packets)
    os.chmod(path, 0o644)
    empty = os.path.join(tmp, "none")
    os.mkdir(empty)
    user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if os.geteuid() == 0 else []
    plugins = os.path.abspath(args.plugins)
    print(f"capture: {args.packets} packets, {os.path.getsize(path)} bytes; median of {args.runs} runs")
    print(f"{'tshark':<20} {'without (s)':>12} {'with (s)':>10} {'ratio':>7}")
    for label, extra in (("-r (summaries)", []), ("-r -V (trees)", ["-V"])):
        times = {False: [], True: []}
        for _ in range(args.runs):
            for on in (False, True):
                env = dict(os.environ, HOME=tmp, WIRESHARK_PLUGIN_DIR=plugins if on else empty)
                times[on].append(timed(user + ["tshark", "-n", "-r", path] + extra, env))
        off, on = statistics.median(times[False]), statistics.median(times[True])
        print(f"{label:<20} {off:>12.2f} {on:>10.2f} {on / off:>7.2f}")


if __name__ == "__main__":
    main()
