"""The Python package against the library: the same describe lines and errors for every fuzz
seed and every frame of a recorded session, builders and body writers round trip, errors keep
their types and messages, the stubs list what the module has, the example bot works."""
import ast
import glob
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import veltra

SOURCE = pathlib.Path(os.environ["VELTRA_SOURCE"])
PY = SOURCE / "python"


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """stubworld on an ephemeral port, a watching client and the example bot; every frame the
    watcher received, recorded."""
    server = subprocess.Popen([os.environ["VELTRA_STUBWORLD"], "--listen", "127.0.0.1:0", "--quiet"],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r":(\d+)$", server.stdout.readline().strip()).group(1))
        with veltra.Session("127.0.0.1", port, timeout=5, record=True) as watcher:
            watcher.login("ana")
            with veltra.Session("127.0.0.1", port) as refused, pytest.raises(veltra.LoginError, match="error 7$"):
                refused.login("!ana")
            watcher.send(veltra.build.room_id_request("Brackenvel#Lobby"))  # a reply to pass over
            watcher.teleport(watcher.room_id("Brackenvel#ChatHall"), 5, 5)
            bot = subprocess.Popen([sys.executable, str(PY / "examples" / "bot.py"), "--port", str(port),
                                    "--name", "bot", "--word", "ping", "--seconds", "4"])
            seen = [watcher.wait_for(lambda c: isinstance(c, veltra.AppearActor)),
                    watcher.wait_for(lambda c: isinstance(c, veltra.Text))]
            watcher.say("ping, bot")
            seen.append(watcher.wait_for(lambda c: isinstance(c, veltra.Text) and "pong" in c.text))
            seen += list(watcher.commands(1.0))
            assert bot.wait(timeout=20) == 0
        stream = tmp_path_factory.mktemp("session") / "recorded"
        stream.write_bytes(b"".join(watcher.frames))
        return seen, stream
    finally:
        server.kill()
        server.wait()


def test_bot_logs_in_is_seen_and_chats(session):
    seen, _ = session
    appear, greeting, answer = seen[:3]
    assert appear.room > 0 and greeting.sender == veltra.ObjID("bot") and "hello" in greeting.text
    assert answer.sender == veltra.ObjID("bot") and answer.text == "ana: pong"
    assert any(isinstance(c, veltra.Longloc) and c.target == appear.target for c in seen)


def python_side(paths):
    """What the parity program prints, from the Python package."""
    out = []

    def frame(whole):
        out.append("frame")
        try:
            out.extend("D " + c.describe().encode("utf-8", "surrogatepass").hex() for c in veltra.parse(whole))
        except veltra.ReadError as e:
            out.append("E %s" % e)

    for path in paths:
        data = pathlib.Path(path).read_bytes()
        out.append("file %s" % path)
        if 0 < len(data) < 255:
            frame(bytes([len(data) + 1]) + data)
        out.append("stream")
        framer, rest = veltra.Framer(), data
        while True:
            rest = rest[framer.feed(rest):]
            try:
                f = framer.next()
            except veltra.ReadError as e:
                out.append("B %s" % str(e).split()[3])
                break
            if f is not None:
                frame(f)
            elif not rest:
                break
    return out


def test_every_seed_and_session_frame_parses_as_in_cpp(session):
    paths = sorted(glob.glob(str(SOURCE / "fuzz" / "corpus" / "*" / "*"))) + [str(session[1])]
    assert len(paths) > 100
    cpp = subprocess.run([os.environ["VELTRA_PARITY"]] + paths, capture_output=True, check=True).stdout
    cpp = cpp.decode("utf-8", "surrogateescape").splitlines()
    py = python_side(paths)
    assert sum(line.startswith("D ") for line in py) > 500 and any(line.startswith("E ") for line in py)
    assert len(py) == len(cpp)
    for want, got in zip(cpp, py):
        assert got == want


# (builder frame, class, fields expected)
BUILT = [
    (veltra.build.teleport(7, exit_type=-1, entry_type=2, x=-3, y=4, z=5, dir=-90), veltra.Teleport,
     dict(room=7, exit_type=-1, entry_type=2, x=-3, y=4, z=5, dir=-90)),
    (veltra.build.login("ana", "pw"), veltra.SessionInit,
     dict(props=[(veltra.PropertyId.PROTOCOL, "24"), (9, "1920"), (2, "ana"), (6, "pw"), (7, "24")])),
    (veltra.build.room_id("Sala ☃", 65535), veltra.RoomId, dict(room_name="Sala ☃", room_number=65535)),
    (veltra.build.text("ana", "a\x00\U0001F600"), veltra.Text, dict(sender=veltra.ObjID("ana"), text="a\x00\U0001F600")),
    (veltra.build.register_objid("bob", 200), veltra.RegisterObjid, dict(long_id="bob", short_id=-56)),
    (veltra.build.property_update([(2, "ana", 64, 3), veltra.Property(64, b"\x00\xff", 16)], target="!bob"),
     veltra.PropertyUpdate, dict(target=veltra.ObjID("bob"), props=[(2, "ana", 64, 3), (64, b"\x00\xff", 16, 0)])),
    (veltra.build.shortloc(9, -1, 2, -128), veltra.Shortloc, dict(payload=b"\xff\x02\x80")),
    (veltra.build.subscribe(3, distance=-1), veltra.Subscribe, dict(room=3, distance=-1)),
    (veltra.build.buddy_list_notify("eve", True), veltra.BuddyListNotify, dict(buddy="eve", online=1)),
    (veltra.write_frame(veltra.Obj.COMPOUND, veltra.Command.DISAPPEAR, b"\x05\x00\x01x"), veltra.Disappear,
     dict(target=veltra.ObjID(5))),
]


@pytest.mark.parametrize("frame,cls,fields", BUILT)
def test_builders_round_trip(frame, cls, fields):
    cmd = veltra.parse(frame)[0]
    assert type(cmd) is cls and {k: getattr(cmd, k) for k in fields} == fields
    if cmd.target != veltra.ObjID(veltra.Obj.COMPOUND) and not frame[1] == veltra.Obj.COMPOUND:
        assert cmd.to_bytes() == frame  # the body writer gives the builder's bytes
    assert eval(repr(cmd), vars(veltra)) == cmd


def test_every_command_class_writes_what_it_parses():
    for code in range(256):
        cmd = veltra.command_class(code)(target=veltra.ObjID("x"), command=code)
        [back] = veltra.parse(cmd.to_bytes())
        assert type(back) is type(cmd) and back.to_bytes() == cmd.to_bytes() and tuple(back[:2]) == cmd[:2], code
        assert cmd.describe().startswith(veltra._veltra.command_name(code) + " [x]")
        assert cmd.show(dump=True).count("\n") == 1 + len(cmd.fields) + sum(isinstance(v, list) and len(v) for v in cmd)


def test_a_long_id_object_is_written_as_its_text():
    # ObjID("!!bob") is the id "!bob" (one "!" dropped), which the text "!!bob" gives too.
    assert veltra.build.disappear(veltra.ObjID("!!bob")) == veltra.build.disappear("!!bob") == b"\x08\x00\x04!bob\x0b"


ERRORS = [
    (lambda: veltra.parse(b"\x04\x01\x0e\x00"), veltra.ReadError, "^read past the end of the packet$"),
    (lambda: veltra.parse(b"\x05\x01\x0e\x00"), veltra.ReadError, "^length byte 5 in a frame of 4 bytes$"),
    (lambda: veltra.parse(b"\x03\x01\x0b\x00"), veltra.ReadError, "^length byte 3 in a frame of 4 bytes$"),
    (lambda: veltra.build.disappear(0), ValueError, "^a short id is 1..255$"),
    (lambda: veltra.build.text("", "x" * 256), veltra.WriteError, "^string of 256 bytes; the maximum is 255$"),
    (lambda: veltra.Text(text="é" * 126).to_bytes(), veltra.WriteError,
     "^packet of 258 bytes; the maximum under protocol 24 is 255$"),
    (lambda: veltra.Longloc(x=40000).to_bytes(), ValueError, "x = 40000 is out of range -32768..32767"),
    (lambda: veltra.parse("\x03\x01\x0b"), TypeError, "not str"),
    (lambda: veltra.Text(text=b"bytes").to_bytes(), TypeError, "text must be str"),
    (lambda: veltra.Framer().feed(b"\x02") and veltra.Framer().next(), None, None),
]


@pytest.mark.parametrize("call,error,message", ERRORS)
def test_errors(call, error, message):
    if error is None:  # a bad length byte stays an error for good
        f = veltra.Framer()
        f.feed(b"\x02\x03\x01\x0b")
        for _ in range(2):
            with pytest.raises(veltra.ReadError, match="^bad length byte 2"):
                f.next()
        return
    assert issubclass(veltra.ReadError, ValueError) and issubclass(veltra.WriteError, ValueError)
    with pytest.raises(error, match=message):
        call()


def stub_names(path):
    """Top-level names of a stub and, per class, its annotated and defined members."""
    names, members = set(), {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        if isinstance(node, ast.ClassDef):
            members[node.name] = [n.target.id if isinstance(n, ast.AnnAssign) else getattr(n, "name", None)
                                  or n.targets[0].id for n in node.body if not isinstance(n, ast.Expr)]
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname for a in node.names if a.asname)
        elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
            names.add(node.target.id)
    return names, members


def test_stubs_match_the_module():
    names, members = stub_names(PY / "veltra" / "__init__.pyi")
    public = {n for n in dir(veltra) if not n.startswith("_") and not inspect.ismodule(getattr(veltra, n))}
    assert names - {"build", "__version__"} == public
    for name, listed in members.items():
        cls = getattr(veltra, name)
        if issubclass(cls, veltra.CommandBase) and cls is not veltra.CommandBase:
            assert listed == ["target", "command"] + list(cls.fields) + ["__new__"], name
        elif issubclass(cls, (veltra.Command, veltra.PropertyId, veltra.Obj, veltra.PropFlag)):
            assert listed == [m.name for m in cls], name
        else:
            assert all(hasattr(cls, m) for m in listed), name
    build, _ = stub_names(PY / "veltra" / "build.pyi")
    assert build == set(veltra.build.__all__)
    for node in ast.parse((PY / "veltra" / "build.pyi").read_text()).body:
        if isinstance(node, ast.FunctionDef):
            doc = getattr(veltra.build, node.name).__doc__.splitlines()[0]
            assert [a.arg for a in node.args.args] == re.findall(r"(\w+):", doc), node.name
    assert (PY / "veltra" / "py.typed").exists()
