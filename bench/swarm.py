#!/usr/bin/env python3
"""Load benchmark: scoutswarm against a world server on an ephemeral loopback port.

For every configuration in CONFIGS it starts a fresh server, runs scoutswarm
with a JSON report, stops the server, and prints one table row: relays per
second, relay latency p50/p99 over the run and over the seconds when every session was in
the world ("all-in"), the CPU time of each process (from wait4's
rusage, user + system) and the CPU per command, scoutswarm's per command it
received and the server's per command it sent (the same commands), and their
ratio. scoutswarm should stay at or below half the server's CPU per command.

Configurations are plain dicts: add rows to CONFIGS, or servers to SERVERS
(a function from the build directory to the server's argument list; the
server must print "listening on ADDR:PORT" as its first line on stdout and
stop on SIGINT). Repeats report the median row per configuration; the machine
may be shared, so compare ratios measured side by side, not absolute times.

Usage: bench/swarm.py [--build DIR] [--server NAME] [--only SUBSTRING]
                      [--duration S] [--repeat N]
"""
import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

# name, sessions, rooms, moves and chat lines per session per second; optional keys:
# duration (seconds in the world), ramp (sessions per second), args (more scoutswarm options),
# segments (processes that each run one segment of the plan, their reports merged).
CONFIGS = [
    dict(name=f"{n}s-{rooms}r-{rate}m", sessions=n, rooms=rooms, move_rate=rate, chat_rate=0)
    for n in (10, 100, 250)
    for rooms in (1, 10)
    for rate in (1, 10)
]

# The targets of the server at scale: a thousand sessions in ten rooms; 250 in one room at 10
# and 20 moves/s, ten rooms of 25 at 10 moves/s (CPU per relayed command against one loopback
# send()); the relay ceiling in one room.
CONFIGS += [
    dict(name="1000s-10r-1m", sessions=1000, rooms=10, move_rate=1, chat_rate=0, ramp=1000),
    dict(name="250s-1r-20m", sessions=250, rooms=1, move_rate=20, chat_rate=0),
] + [
    dict(name=f"ceiling-{rate}m", sessions=250, rooms=1, move_rate=rate, chat_rate=0)
    for rate in (40, 80, 160)
]

# Ten thousand sessions in a hundred rooms, from two segment processes of one plan, at rising
# move rates: the relay latency and where it turns. The ramp lasts two move periods, so that
# the sessions' moves are spread evenly over them rather than coming in bursts, and logins do
# not come faster than the server admits them while it relays.
CONFIGS += [
    dict(name=f"10k-100r-{rate}m", sessions=10000, rooms=100, move_rate=rate, chat_rate=0,
         ramp=5000 * rate, duration=60, segments=2)
    for rate in (0.05, 0.1, 0.15, 0.2)
] + [  # the same from one process: the load's own cost without a second process's wake-ups
    dict(name="10k-100r-0.1m-1p", sessions=10000, rooms=100, move_rate=0.1, chat_rate=0,
         ramp=500, duration=60)
]

SERVERS = {
    "stubworld": lambda build: [os.path.join(build, "tools/stubworld/stubworld"),
                                "--listen", "127.0.0.1:0", "--quiet"],
    # Another stubworld build to compare with, side by side: STUBWORLD_BEFORE=PATH.
    "before": lambda build: [os.environ.get("STUBWORLD_BEFORE", "stubworld"),
                             "--listen", "127.0.0.1:0", "--quiet"],
}


def plateau(report, sessions):
    """The relay latencies of the seconds in which every session was in the world, as
    {bucket's lowest value (us): count}: the steady state, without the ramp's logins and the
    end's logouts."""
    merged = {}
    for second in report["timeline"]:
        if second["inWorld"] != sessions:
            continue
        for low, n in second["latency"].get("relay", {}).get("buckets", []):
            merged[low] = merged.get(low, 0) + n
    return merged


def percentile(buckets, pct):
    """The lowest value of the bucket holding the pct-th percentile; nan without samples."""
    total = sum(buckets.values())
    if not total:
        return float("nan")
    rank, seen = max(1, -(-pct * total // 100)), 0
    for low in sorted(buckets):
        seen += buckets[low]
        if seen >= rank:
            return low
    return float("nan")


def cpu_of(rusage):
    return rusage.ru_utime + rusage.ru_stime


def run_one(build, server_args, cfg, duration):
    server = subprocess.Popen(server_args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True)
    # Another scoutswarm build to compare with, side by side: SCOUTSWARM=PATH.
    scoutswarm = os.environ.get("SCOUTSWARM", os.path.join(build, "tools/scoutswarm/scoutswarm"))
    try:
        first = server.stdout.readline().strip()
        if not first.startswith("listening on "):
            raise RuntimeError(f"server did not start: {first!r}")
        endpoint = first[len("listening on "):]
        with tempfile.TemporaryDirectory() as tmp:
            plan = [scoutswarm, endpoint, "--quiet",
                    "--sessions", str(cfg["sessions"]), "--rooms", str(cfg["rooms"]),
                    "--move-rate", str(cfg["move_rate"]), "--chat-rate", str(cfg["chat_rate"]),
                    "--duration", str(cfg.get("duration", duration)),
                    "--ramp", str(cfg.get("ramp", 500))] + cfg.get("args", [])
            # Segment processes of one plan, started together, their reports merged.
            n = cfg.get("segments", 1)
            start = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 2))
            paths = [os.path.join(tmp, f"report-{k}.json") for k in range(n)]
            procs = [subprocess.Popen(plan + ["--json", paths[k]] + (
                ["--segment", f"{k}/{n}", "--start-at", start] if n > 1 else []),
                stdout=subprocess.PIPE, stderr=subprocess.PIPE) for k in range(n)]
            swarm_cpu, status = 0.0, 0
            for proc in procs:
                _, st, usage = os.wait4(proc.pid, 0)
                status |= os.waitstatus_to_exitcode(st)
                swarm_cpu += cpu_of(usage)
            report_path = paths[0]
            if n > 1:
                report_path = os.path.join(tmp, "merged.json")
                subprocess.run([scoutswarm, "merge", *paths, "--json", report_path, "--quiet"],
                               stdout=subprocess.DEVNULL, check=False)
            with open(report_path) as f:
                report = json.load(f)
    finally:
        server.send_signal(signal.SIGINT)
        try:
            _, _, server_usage = os.wait4(server.pid, 0)
        except ChildProcessError:
            server_usage = None
    received = sum(c["commandsReceived"] for c in report["commands"])
    seconds = report["seconds"] or 1
    server_cpu = cpu_of(server_usage) if server_usage else float("nan")
    per_swarm = swarm_cpu / received * 1e6 if received else float("nan")
    per_server = server_cpu / received * 1e6 if received else float("nan")
    s = report["sessions"]
    full = plateau(report, cfg["sessions"])
    return dict(
        name=cfg["name"], sessions=cfg["sessions"], rooms=cfg["rooms"], moves=cfg["move_rate"],
        # Another segment's moves are foreign to a process: relayed all the same.
        relays_s=(report["latency"]["relay"]["count"] + report["moves"]["foreign"]) / seconds,
        p50=report["latency"]["relay"]["p50"] / 1000, p99=report["latency"]["relay"]["p99"] / 1000,
        full_p50=percentile(full, 50) / 1000, full_p99=percentile(full, 99) / 1000,
        swarm_cpu=swarm_cpu, server_cpu=server_cpu, swarm_us=per_swarm, server_us=per_server,
        ratio=per_swarm / per_server if per_server and per_server == per_server else float("nan"),
        rss=server_usage.ru_maxrss / cfg["sessions"] if server_usage else float("nan"),
        verdict=f"{s['completed']}/{cfg['sessions']}" + ("" if status == 0 else " FAIL"),
    )


COLUMNS = [  # header, key, format
    ("config", "name", "{:<14}"), ("sess", "sessions", "{:>5}"), ("rooms", "rooms", "{:>5}"),
    ("mv/s", "moves", "{:>4}"), ("relays/s", "relays_s", "{:>10.0f}"),
    ("p50 ms", "p50", "{:>8.3f}"), ("p99 ms", "p99", "{:>8.3f}"),
    ("all-in p50", "full_p50", "{:>10.3f}"), ("all-in p99", "full_p99", "{:>10.3f}"),
    ("swarm s", "swarm_cpu", "{:>8.2f}"), ("server s", "server_cpu", "{:>8.2f}"),
    ("swarm us/cmd", "swarm_us", "{:>12.3f}"), ("server us/cmd", "server_us", "{:>13.3f}"),
    ("ratio", "ratio", "{:>6.3f}"), ("÷send", "per_send", "{:>6.2f}"), ("KB/sess", "rss", "{:>7.1f}"), ("done", "verdict", "{:>11}"),
]


def line(values):
    return "  ".join(fmt.format(values[key]) for _, key, fmt in COLUMNS)


def send_floor(build):
    """The CPU time of one loopback send() of a LONGLOC frame, and of one such send among 100
    submitted together (a server's SendBatch), measured now, beside the runs."""
    out = subprocess.run([os.path.join(build, "bench/send_bench"), "--benchmark_format=json",
                          "--benchmark_filter=BM_LoopbackSend(Batch)?/250",
                          "--benchmark_min_time=1"],
                         capture_output=True, text=True, check=True).stdout
    us = {}
    for bench in json.loads(out)["benchmarks"]:
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[bench["time_unit"]]
        us[bench["name"].split("/")[0]] = bench["cpu_time"] * scale
    return us["BM_LoopbackSend"], us.get("BM_LoopbackSendBatch", float("nan"))


def header():
    return "  ".join(re.sub(r"\.\d+f", "", fmt).format(h) for h, _, fmt in COLUMNS)


def median_row(rows):
    out = dict(rows[0])
    for _, key, fmt in COLUMNS:  # every figure; names and counts are the same in each row
        if fmt.endswith("f}"):
            out[key] = statistics.median(r[key] for r in rows)
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(here, "..", "build", "release"))
    ap.add_argument("--server", default="stubworld", choices=sorted(SERVERS))
    ap.add_argument("--only", default="", help="run the configurations whose name has this")
    ap.add_argument("--duration", type=float, default=5, help="seconds in the world")
    ap.add_argument("--repeat", type=int, default=1, help="runs per configuration (median)")
    args = ap.parse_args()
    server_args = SERVERS[args.server](args.build)
    floor, batched = send_floor(args.build)
    print(f"server {args.server}, {args.duration:g} s in the world, "
          f"median of {args.repeat}; CPU per command received by scoutswarm; one loopback "
          f"send() (bench/send_bench, 250 connections) {floor:.3f} us, one of 100 submitted "
          f"together {batched:.3f} us: ÷send is the server's CPU per command over the first",
          flush=True)
    print(header(), flush=True)
    for cfg in CONFIGS:
        if args.only not in cfg["name"]:
            continue
        rows = [run_one(args.build, server_args, cfg, args.duration) for _ in range(args.repeat)]
        for r in rows:
            r["per_send"] = r["server_us"] / floor
        print(line(median_row(rows)), flush=True)


if __name__ == "__main__":
    sys.exit(main())
