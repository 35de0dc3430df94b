"""The Kubernetes Job, executed without a cluster: the container's command and arguments are
taken from deploy/kubernetes/job.yaml and run once per completion index against stubworld on
loopback, expanded as the Job controller would (every $(VAR) from the container's env and
JOB_COMPLETION_INDEX). The merged reports must be the plan one process runs."""
import datetime
import json
import os
import pathlib
import re
import subprocess

import pytest
import yaml

SOURCE = pathlib.Path(os.environ["VELTRA_SOURCE"])
SCOUTSWARM = os.environ["VELTRA_SCOUTSWARM"]
STUBWORLD = os.environ["VELTRA_STUBWORLD"]
N = 3


def expand(text, env):
    """Kubernetes' expansion: $(NAME) when NAME is defined, $$ for a dollar, else as written."""
    return re.sub(r"\$\$|\$\(([A-Za-z_][A-Za-z0-9_]*)\)",
                  lambda m: "$" if m.group(0) == "$$" else env.get(m.group(1), m.group(0)), text)


@pytest.fixture(scope="module")
def server():
    proc = subprocess.Popen([STUBWORLD, "--listen", "127.0.0.1:0", "--quiet"],
                            stdout=subprocess.PIPE, text=True)
    try:
        yield re.search(r"listening on (\S+)", proc.stdout.readline()).group(1)
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def job():
    with open(SOURCE / "deploy/kubernetes/job.yaml") as f:
        manifest = yaml.safe_load(f)
    body = manifest["spec"]  # Kubernetes' own field names
    pod = body["template"]["spec"]
    assert manifest["kind"] == "Job" and body["completionMode"] == "Indexed"
    container = pod["containers"][0]
    env = {e["name"]: e["value"] for e in container["env"]}
    assert body["completions"] == body["parallelism"] == int(env["SEGMENTS"])
    return container, env


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=60, **kwargs)


def test_segment_pods_merge_into_the_plan(server, tmp_path):
    container, env = job()
    start = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=2)
    # The plan made small enough for a test; the command and arguments stay the manifest's.
    env.update(SERVER=server, SEGMENTS=str(N), SESSIONS="30", ROOMS="3", DURATION="2s",
               MOVE_RATE="2", START_AT=start.strftime("%Y-%m-%dT%H:%M:%SZ"))
    argv = lambda index: [SCOUTSWARM] + [  # noqa: E731
        expand(a, dict(env, JOB_COMPLETION_INDEX=str(index))) for a in container["args"]]
    assert container["command"] == ["scoutswarm"]
    pods = [subprocess.Popen(argv(k), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for k in range(N)]
    reports = []
    for k, pod in enumerate(pods):
        out, err = pod.communicate(timeout=60)
        assert pod.returncode == 0, err
        assert err == ""  # kubectl logs mixes the streams: the report must stand alone
        reports.append(tmp_path / f"run-{k}.json")
        reports[-1].write_text(out)
    merged = tmp_path / "merged.json"
    r = run([SCOUTSWARM, "merge", *map(str, reports), "--json", str(merged), "-q"])
    assert r.returncode == 0, r.stderr

    # A lost pod, and a report given twice: merge names the segment.
    r = run([SCOUTSWARM, "merge", str(reports[0]), str(reports[2]), "-q"])
    assert r.returncode == 1 and "missing 1/3:2/3" in r.stderr, r.stderr
    r = run([SCOUTSWARM, "merge", str(reports[0]), str(reports[0]), "-q"])
    assert r.returncode == 1 and r.stderr.count("\n") == 1, r.stderr

    # One process, the same plan, no segment, no waiting.
    single = [a for a in argv(0) if not a.startswith(("--segment", "--start-at"))]
    r = run(single)
    assert r.returncode == 0, r.stderr
    whole, parts = json.loads(r.stdout), json.loads(merged.read_text())
    # What the plan fixes, in total and per group, is the same; what timing decides is not.
    fixed = lambda rep: (rep["sessions"], rep["moves"]["sent"], rep["lines"]["sent"],  # noqa: E731
                         {name: (g["sessions"], g["sent"]) for name, g in rep["groups"].items()})
    assert fixed(parts) == fixed(whole)
    assert len(parts["runs"]) == N and {r["parameters"]["segment"] for r in parts["runs"]} == {
        "0:1/3", "1/3:2/3", "2/3:1"}
    assert parts["sessions"]["completed"] == 30
