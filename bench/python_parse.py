"""veltra.parse against the plain pure-Python decoder of ../shared/bench/pure_decoder.py, on
that decoder's mix() of a busy room's frames, reading every field of every command. Values are
checked equal first; then frames per second overall and per frame type.

  PYTHONPATH=build/release/python /usr/bin/python3 bench/python_parse.py [--decoder PATH]
"""
import argparse
import importlib.util
import pathlib
import time

import veltra

ROOT = pathlib.Path(__file__).resolve().parent.parent


def load(path):
    found = importlib.util.spec_from_file_location("pure_decoder", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def plain(value):
    """A veltra value in the pure decoder's terms."""
    if isinstance(value, veltra.ObjID):
        return value.long_id if value.is_long else value.short_id
    if isinstance(value, list):
        return [(int(p.id), p.flags, p.access, p.value) for p in value]
    return value


def as_pure(cmd):
    return (int(cmd.command), plain(cmd.target), {n: plain(v) for n, v in zip(cmd.fields, cmd[2:])})


def pure_loop(decode, frames, rounds):
    for _ in range(rounds):
        for f in frames:
            for cmd, target, fields in decode(f):
                for v in fields.values():
                    pass


def veltra_loop(parse, frames, rounds):
    for _ in range(rounds):
        for f in frames:
            for cmd in parse(f):
                for v in cmd:  # target, command and every field
                    pass


def veltra_names(parse, frames, rounds):
    for _ in range(rounds):
        for f in frames:
            for cmd in parse(f):
                target, code = cmd.target, cmd.command
                for name in cmd.fields:
                    getattr(cmd, name)


def best(loop, decode, frames, rounds, repeat=5):
    t = min(_time(loop, decode, frames, rounds) for _ in range(repeat))
    return t / (rounds * len(frames))


def _time(loop, decode, frames, rounds):
    t0 = time.perf_counter()
    loop(decode, frames, rounds)
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--decoder", default=ROOT.parent / "shared" / "bench" / "pure_decoder.py")
    ap.add_argument("--rounds", type=int, default=200)
    args = ap.parse_args()
    pure = load(args.decoder)
    frames = pure.mix()
    for f in frames:
        got = [as_pure(c) for c in veltra.parse(f)]
        if got != pure.decode(f):
            raise SystemExit("values differ on %s: %r != %r" % (f.hex(), got, pure.decode(f)))
    print("values equal on all %d frames of the mix" % len(frames))

    groups = {}
    for f in frames:
        first = veltra.parse(f)
        key = ("compound " if f[1] == veltra.Obj.COMPOUND else "") + first[0].describe().split()[0]
        groups.setdefault(key, []).append(f)
    rows = [("mix (%d frames)" % len(frames), frames)] + sorted(groups.items())
    print("%-22s %10s %10s %8s %12s" % ("frames", "pure us", "veltra us", "ratio", "by name us"))
    for name, fs in rows:
        rounds = max(1, args.rounds * len(frames) // len(fs))
        p = best(pure_loop, pure.decode, fs, rounds)
        v = best(veltra_loop, veltra.parse, fs, rounds)
        n = best(veltra_names, veltra.parse, fs, rounds)
        print("%-22s %10.3f %10.3f %7.2fx %12.3f" % (name, p * 1e6, v * 1e6, p / v, n * 1e6))


if __name__ == "__main__":
    main()
