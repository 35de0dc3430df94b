"""veltra: the binary chat-server protocol (version 24) for Python, the C++ library underneath.

    import veltra
    for cmd in veltra.parse(frame):          # one whole frame, length byte first
        print(cmd.describe())                # the library's line
        if isinstance(cmd, veltra.Longloc):
            print(cmd.target, cmd.x, cmd.y)  # fields by the field model's names

Frames are bytes in and bytes out: veltra.build.teleport(room=7, x=10) gives one frame,
cmd.to_bytes() writes any command object back, veltra.Framer splits a byte stream.
"""
from __future__ import annotations

import collections as _collections
import enum as _enum

from . import _veltra
from ._veltra import Framer, ReadError, WriteError, parse, write_frame
from . import build

for _t in (Framer, ReadError, WriteError):
    _t.__module__ = __name__

__version__ = _veltra.__version__


class ObjID(tuple):
    """An object id: a short id (1..255) or a long id (a text; ObjID() is the empty long id).

    A tuple (short_id, long_id): short_id is 0 for a long id, long_id is "" for a short one.
    A text given here drops one leading "!", as the library's ObjID does.
    """

    __slots__ = ()

    def __new__(cls, value: int | str = "") -> "ObjID":
        if isinstance(value, int):
            if not 0 <= value <= 255:
                raise ValueError("a short id is 1..255")
            return tuple.__new__(cls, (value, ""))
        if not isinstance(value, str):
            raise TypeError("ObjID takes an int or a str")
        return tuple.__new__(cls, (0, value[1:] if value.startswith("!") else value))

    @property
    def short_id(self) -> int:
        return self[0]

    @property
    def long_id(self) -> str:
        return self[1]

    @property
    def is_long(self) -> bool:
        return self[0] == 0

    def describe(self) -> str:
        return self[1] if self[0] == 0 else "#%d" % self[0]

    __str__ = describe

    def __repr__(self) -> str:
        return "ObjID(%r)" % (self[1] if self[0] == 0 else self[0])


class Obj(_enum.IntEnum):
    """Reserved short object ids."""

    CLIENT = _veltra.OBJ_CLIENT
    CURRENT_ROOM = _veltra.OBJ_CURRENT_ROOM
    COMPOUND = _veltra.OBJ_COMPOUND
    PROTOCOL = _veltra.OBJ_PROTOCOL


class PropFlag(_enum.IntFlag):
    """Property flag bits; only BINARY changes the wire form."""

    BINARY = _veltra.PROP_FLAG_BINARY
    FINGER = _veltra.PROP_FLAG_FINGER
    AUTO_UPDATE = _veltra.PROP_FLAG_AUTO_UPDATE
    DB_STORE = _veltra.PROP_FLAG_DB_STORE


# Command codes and property ids by the library's stable names, upper-cased.
Command = _enum.IntEnum("Command", [(_veltra.command_id(c).upper(), c) for c in range(256)
                                   if _veltra.command_id(c) != "unknown"], module=__name__)
Command.__doc__ = "Command codes; a code without a name stays a plain int."
PropertyId = _enum.IntEnum("PropertyId", [(_veltra.property_name(i).upper(), i) for i in range(256)
                                         if _veltra.property_name(i)], module=__name__)
PropertyId.__doc__ = "Property ids; an id without a name stays a plain int."
for _e in (Command, PropertyId, Obj):
    _e.__repr__ = lambda self: "%s.%s" % (type(self).__name__, self.name)  # eval()-able in reprs


class Property(_collections.namedtuple("Property", "id value flags access", defaults=(0, 0))):
    """A new-style property entry; value is bytes when flags has PropFlag.BINARY, else str."""

    __slots__ = ()

    def describe(self) -> str:
        value = "<%d bytes>" % len(self.value) if isinstance(self.value, bytes) else self.value
        return "%s=%s" % (_veltra.property_label(self.id), value)


class OldProperty(_collections.namedtuple("OldProperty", "id value")):
    """An old-style property entry: an id and a text."""

    __slots__ = ()

    def describe(self) -> str:
        return "%s=%s" % (_veltra.property_label(self.id), self.value)


class CommandBase:
    """What every command object offers. A command object is a tuple: (target, command,
    fields in wire order), with each field as an attribute named as in the field model."""

    __slots__ = ()
    id: str = ""
    fields: tuple = ()

    def describe(self) -> str:
        """The library's one-line description: "MNEMONIC [target] body"."""
        return _veltra._describe(self)

    def summary(self) -> str:
        """Mnemonic, target and field count, for lists of many commands."""
        return "%s [%s] %d field%s" % (_veltra.command_name(self[1]), self[0].describe(),
                                       len(self.fields), "" if len(self.fields) == 1 else "s")

    def show(self, dump: bool = False) -> str | None:
        """Every field on a line of its own; printed, or returned when dump is true."""
        lines = ["###[ %s (%s) ]###" % (_veltra.command_name(self[1]), int(self[1])),
                 "  %-12s = %s" % ("target", self[0].describe())]
        for name, value in zip(self.fields, self[2:]):
            if isinstance(value, list):
                lines.append("  %-12s = %d entr%s" % (name, len(value), "y" if len(value) == 1 else "ies"))
                lines.extend("    " + p.describe() for p in value)
            else:
                lines.append("  %-12s = %r" % (name, value.describe() if isinstance(value, ObjID) else value))
        text = "\n".join(lines)
        if dump:
            return text
        print(text)
        return None

    def to_bytes(self) -> bytes:
        """The whole frame of this command, written through the field model's body writer."""
        return _veltra._encode(self)

    def __repr__(self) -> str:
        code = self[1]
        parts = ["target=%r" % (self[0],), "command=%r" % (code,)]
        parts += ["%s=%r" % kv for kv in zip(self.fields, self[2:])]
        return "%s(%s)" % (type(self).__name__, ", ".join(parts))


def _default(kind: str):
    return {"int": 0, "text": "", "objid": ObjID(), "bytes": b""}.get(kind, ())


def _class_name(cid: str) -> str:
    return "".join(part.capitalize() for part in cid.split("_"))


_classes: dict[str, type] = {}
_by_code = []
for _code in range(256):
    _cid = _veltra.command_id(_code)
    if _cid not in _classes:
        _fields = _veltra.fields_of(_code)
        _names = tuple(f[0] for f in _fields)
        _base = _collections.namedtuple(_class_name(_cid), ("target", "command") + _names,
                                       defaults=(ObjID(int(Obj.CLIENT)), Command(_code) if _code in Command._value2member_map_ else _code) + tuple(_default(f[1]) for f in _fields))
        _classes[_cid] = type(_class_name(_cid), (CommandBase, _base),
                              {"__slots__": (), "id": _cid, "fields": _names, "__module__": __name__,
                               "__repr__": CommandBase.__repr__,
                               "__doc__": "%s: %s" % (_veltra.command_name(_code), ", ".join(_names) or "no fields")})
    _by_code.append(_classes[_cid])
globals().update({cls.__name__: cls for cls in _classes.values()})


def command_class(code: int) -> type:
    """The class parse() gives commands with this code."""
    return _by_code[code]


_veltra._setup(_by_code, [Command(c) if c in Command._value2member_map_ else c for c in range(256)],
               ObjID, [ObjID(i) for i in range(256)], Property, OldProperty,
               [PropertyId(i) if i in PropertyId._value2member_map_ else i for i in range(256)])

del _code, _cid, _fields, _names, _base, _t, _e

from .client import LoginError, Session  # noqa: E402  (needs the names above)

del annotations
