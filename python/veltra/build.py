"""Frames built by the library's builders: requests a client sends and the replies and
notifications of a server. Each function returns one whole frame (bytes, length byte first)
or raises veltra.WriteError; ids are ObjID, an int (short id) or a str (long id)."""
from ._veltra import build as _build

globals().update({name: getattr(_build, name) for name in dir(_build) if not name.startswith("_")})
__all__ = [name for name in dir(_build) if not name.startswith("_")]
