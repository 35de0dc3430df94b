# Type stubs of the veltra package; tests/test_veltra.py keeps them equal to the module.
from enum import IntEnum, IntFlag
from typing import Iterator, NamedTuple

from . import build as build
from .client import LoginError as LoginError, Session as Session

__version__: str

class ReadError(ValueError): ...
class WriteError(ValueError): ...

class Framer:
    def __init__(self) -> None: ...
    def feed(self, data: bytes) -> int: ...
    def next(self) -> bytes | None: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def __next__(self) -> bytes: ...
    @property
    def space(self) -> int: ...
    @property
    def buffered(self) -> int: ...

class ObjID(tuple[int, str]):
    def __new__(cls, value: int | str = ...) -> ObjID: ...
    @property
    def short_id(self) -> int: ...
    @property
    def long_id(self) -> str: ...
    @property
    def is_long(self) -> bool: ...
    def describe(self) -> str: ...

class Obj(IntEnum):
    CLIENT = 1
    CURRENT_ROOM = 253
    COMPOUND = 254
    PROTOCOL = 255

class PropFlag(IntFlag):
    BINARY = 16
    FINGER = 32
    AUTO_UPDATE = 64
    DB_STORE = 128

class Command(IntEnum):
    LONGLOC = 1
    STATE = 2
    PROP = 3
    SHORTLOC = 4
    ROOM_CHANGE = 5
    SESSION_INIT = 6
    SESSION_EXIT = 7
    APP_INIT = 8
    PROP_REQUEST = 10
    DISAPPEAR = 11
    APPEAR_ACTOR = 12
    REGISTER_OBJID = 13
    TEXT = 14
    PROPERTY_SET = 15
    PROPERTY_UPDATE = 16
    WHISPER = 17
    TELEPORT = 18
    ROOM_ID_REQUEST = 20
    ROOM_ID = 21
    SUBSCRIBE = 22
    UNSUBSCRIBE = 23
    SUBSCRIBE_DIST = 24
    REDIRECT = 25
    REDIRECT_ID = 26
    FINGER_REQUEST = 27
    FINGER_REPLY = 28
    BUDDY_LIST_UPDATE = 29
    BUDDY_LIST_NOTIFY = 30
    CHANNEL = 31

class PropertyId(IntEnum):
    APP_NAME = 1
    USERNAME = 2
    PROTOCOL = 3
    ERROR = 4
    CHANNEL = 5
    PASSWORD = 6
    AVATARS = 7
    UPDATE_TIME = 8
    CLIENT = 9
    SERIAL = 10
    EMAIL = 11
    LOG_ON_OFF = 12
    DURATION = 13
    GUEST = 14
    SERVER_TYPE = 15
    BIZ_CARD = 16
    NEW_PASSWORD = 20
    PRIV = 22
    ASLEEP = 23
    EXTERNAL_HTTP_SERVER = 24
    SCRIPT_SERVER = 25
    SMTP_SERVER = 26
    MAIL_DOMAIN = 27
    NEW_USERNAME = 28
    INTERNAL_HTTP_SERVER = 29
    INVENTORY = 32
    CAPABILITIES = 64

class Property(NamedTuple):
    id: int
    value: str | bytes
    flags: int = 0
    access: int = 0
    def describe(self) -> str: ...

class OldProperty(NamedTuple):
    id: int
    value: str
    def describe(self) -> str: ...

class CommandBase:
    id: str
    fields: tuple[str, ...]
    def describe(self) -> str: ...
    def summary(self) -> str: ...
    def show(self, dump: bool = False) -> str | None: ...
    def to_bytes(self) -> bytes: ...

def parse(frame: bytes) -> list[CommandBase]: ...
def write_frame(target: ObjID | int | str, command: int, body: bytes = ...) -> bytes: ...
def command_class(code: int) -> type[CommandBase]: ...

class Unknown(CommandBase, tuple):
    target: ObjID
    command: int
    payload: bytes
    def __new__(cls, target: ObjID = ..., command: int = ..., payload: bytes = ...) -> Unknown: ...

class Longloc(CommandBase, tuple):
    target: ObjID
    command: int
    x: int
    y: int
    z: int
    dir: int
    def __new__(cls, target: ObjID = ..., command: int = ..., x: int = ..., y: int = ..., z: int = ..., dir: int = ...) -> Longloc: ...

class State(CommandBase, tuple):
    target: ObjID
    command: int
    payload: bytes
    def __new__(cls, target: ObjID = ..., command: int = ..., payload: bytes = ...) -> State: ...

class Prop(CommandBase, tuple):
    target: ObjID
    command: int
    props: list[OldProperty]
    def __new__(cls, target: ObjID = ..., command: int = ..., props: list[OldProperty] = ...) -> Prop: ...

class Shortloc(CommandBase, tuple):
    target: ObjID
    command: int
    payload: bytes
    def __new__(cls, target: ObjID = ..., command: int = ..., payload: bytes = ...) -> Shortloc: ...

class RoomChange(CommandBase, tuple):
    target: ObjID
    command: int
    room: int
    x: int
    y: int
    z: int
    dir: int
    def __new__(cls, target: ObjID = ..., command: int = ..., room: int = ..., x: int = ..., y: int = ..., z: int = ..., dir: int = ...) -> RoomChange: ...

class SessionInit(CommandBase, tuple):
    target: ObjID
    command: int
    props: list[OldProperty]
    def __new__(cls, target: ObjID = ..., command: int = ..., props: list[OldProperty] = ...) -> SessionInit: ...

class SessionExit(CommandBase, tuple):
    target: ObjID
    command: int
    props: list[OldProperty]
    def __new__(cls, target: ObjID = ..., command: int = ..., props: list[OldProperty] = ...) -> SessionExit: ...

class AppInit(CommandBase, tuple):
    target: ObjID
    command: int
    props: list[OldProperty]
    def __new__(cls, target: ObjID = ..., command: int = ..., props: list[OldProperty] = ...) -> AppInit: ...

class PropRequest(CommandBase, tuple):
    target: ObjID
    command: int
    ids: bytes
    def __new__(cls, target: ObjID = ..., command: int = ..., ids: bytes = ...) -> PropRequest: ...

class Disappear(CommandBase, tuple):
    target: ObjID
    command: int
    def __new__(cls, target: ObjID = ..., command: int = ...) -> Disappear: ...

class AppearActor(CommandBase, tuple):
    target: ObjID
    command: int
    room: int
    x: int
    y: int
    z: int
    dir: int
    def __new__(cls, target: ObjID = ..., command: int = ..., room: int = ..., x: int = ..., y: int = ..., z: int = ..., dir: int = ...) -> AppearActor: ...

class RegisterObjid(CommandBase, tuple):
    target: ObjID
    command: int
    long_id: str
    short_id: int
    def __new__(cls, target: ObjID = ..., command: int = ..., long_id: str = ..., short_id: int = ...) -> RegisterObjid: ...

class Text(CommandBase, tuple):
    target: ObjID
    command: int
    sender: ObjID
    text: str
    def __new__(cls, target: ObjID = ..., command: int = ..., sender: ObjID = ..., text: str = ...) -> Text: ...

class PropertySet(CommandBase, tuple):
    target: ObjID
    command: int
    from_user: str
    props: list[Property]
    def __new__(cls, target: ObjID = ..., command: int = ..., from_user: str = ..., props: list[Property] = ...) -> PropertySet: ...

class PropertyUpdate(CommandBase, tuple):
    target: ObjID
    command: int
    props: list[Property]
    def __new__(cls, target: ObjID = ..., command: int = ..., props: list[Property] = ...) -> PropertyUpdate: ...

class Whisper(CommandBase, tuple):
    target: ObjID
    command: int
    sender: ObjID
    text: str
    def __new__(cls, target: ObjID = ..., command: int = ..., sender: ObjID = ..., text: str = ...) -> Whisper: ...

class Teleport(CommandBase, tuple):
    target: ObjID
    command: int
    room: int
    exit_type: int
    entry_type: int
    x: int
    y: int
    z: int
    dir: int
    def __new__(cls, target: ObjID = ..., command: int = ..., room: int = ..., exit_type: int = ..., entry_type: int = ..., x: int = ..., y: int = ..., z: int = ..., dir: int = ...) -> Teleport: ...

class RoomIdRequest(CommandBase, tuple):
    target: ObjID
    command: int
    room_name: str
    def __new__(cls, target: ObjID = ..., command: int = ..., room_name: str = ...) -> RoomIdRequest: ...

class RoomId(CommandBase, tuple):
    target: ObjID
    command: int
    room_name: str
    room_number: int
    def __new__(cls, target: ObjID = ..., command: int = ..., room_name: str = ..., room_number: int = ...) -> RoomId: ...

class Subscribe(CommandBase, tuple):
    target: ObjID
    command: int
    room: int
    x: int
    y: int
    z: int
    distance: int
    def __new__(cls, target: ObjID = ..., command: int = ..., room: int = ..., x: int = ..., y: int = ..., z: int = ..., distance: int = ...) -> Subscribe: ...

class Unsubscribe(CommandBase, tuple):
    target: ObjID
    command: int
    room: int
    def __new__(cls, target: ObjID = ..., command: int = ..., room: int = ...) -> Unsubscribe: ...

class SubscribeDist(CommandBase, tuple):
    target: ObjID
    command: int
    room: int
    distance: int
    def __new__(cls, target: ObjID = ..., command: int = ..., room: int = ..., distance: int = ...) -> SubscribeDist: ...

class Redirect(CommandBase, tuple):
    target: ObjID
    command: int
    payload: bytes
    def __new__(cls, target: ObjID = ..., command: int = ..., payload: bytes = ...) -> Redirect: ...

class RedirectId(CommandBase, tuple):
    target: ObjID
    command: int
    payload: bytes
    def __new__(cls, target: ObjID = ..., command: int = ..., payload: bytes = ...) -> RedirectId: ...

class FingerRequest(CommandBase, tuple):
    target: ObjID
    command: int
    user: str
    def __new__(cls, target: ObjID = ..., command: int = ..., user: str = ...) -> FingerRequest: ...

class FingerReply(CommandBase, tuple):
    target: ObjID
    command: int
    payload: bytes
    def __new__(cls, target: ObjID = ..., command: int = ..., payload: bytes = ...) -> FingerReply: ...

class BuddyListUpdate(CommandBase, tuple):
    target: ObjID
    command: int
    buddy: str
    add: int
    def __new__(cls, target: ObjID = ..., command: int = ..., buddy: str = ..., add: int = ...) -> BuddyListUpdate: ...

class BuddyListNotify(CommandBase, tuple):
    target: ObjID
    command: int
    buddy: str
    online: int
    def __new__(cls, target: ObjID = ..., command: int = ..., buddy: str = ..., online: int = ...) -> BuddyListNotify: ...

class Channel(CommandBase, tuple):
    target: ObjID
    command: int
    channel: str
    def __new__(cls, target: ObjID = ..., command: int = ..., channel: str = ...) -> Channel: ...

