// _veltra: the C++ half of the Python package. Frames are decoded by the
// library and turned straight into the package's command objects (tuple
// subclasses built by veltra/__init__.py from the field model), without an
// intermediate wrapper per command: creating Python objects is most of the
// cost of a parse, so each command is one tuple and its fields.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/constants.hpp"
#include "veltra/proto/fields.hpp"
#include "veltra/proto/framer.hpp"
#include "veltra/proto/layout.hpp"
#include "veltra/proto/property.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/requests.hpp"
#include "veltra/proto/version.hpp"
#include "veltra/proto/view.hpp"
#include "veltra/proto/writer.hpp"

namespace py = pybind11;
using namespace veltra::proto;

namespace {

// The Python types and shared objects the decoder fills in, set once by
// _setup. References are held for the life of the process.
struct Registry {
  std::array<PyTypeObject*, 256> classes{};  // the command class of each code
  std::array<PyObject*, 256> codes{};        // Command member, or int for unnamed codes
  std::array<PyObject*, 256> shortIds{};     // ObjID of each short id
  std::array<PyObject*, 256> propIds{};      // PropertyId member, or int
  PyTypeObject* objId = nullptr;
  PyTypeObject* property = nullptr;
  PyTypeObject* oldProperty = nullptr;
  bool ready = false;
};
Registry g;

PyObject* text(std::string_view s) {
  // Texts are UTF-8 from the library; a lone surrogate off the wire comes as
  // its 3-byte form and survives the round trip.
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

PyObject* bytesOf(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A tuple of the given subclass with n items still to be set.
PyObject* newTuple(PyTypeObject* type, Py_ssize_t n) { return type->tp_alloc(type, n); }

PyObject* objIdOf(const ObjID& id) {
  if (!id.isLong()) {
    PyObject* o = g.shortIds[id.shortId()];
    Py_INCREF(o);
    return o;
  }
  PyObject* t = text(id.longId());
  if (!t) return nullptr;
  PyObject* o = newTuple(g.objId, 2);
  if (!o) {
    Py_DECREF(t);
    return nullptr;
  }
  PyTuple_SET_ITEM(o, 0, PyLong_FromLong(0));
  PyTuple_SET_ITEM(o, 1, t);
  return o;
}

PyObject* entriesOf(const Field& f) {
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  bool ok = true;
  forEachEntry(f, [&](const PropertyEntry& e) {
    if (!ok) return;
    PyObject* id = g.propIds[e.id];
    Py_INCREF(id);
    PyObject* item;
    if (f.oldProps) {
      item = newTuple(g.oldProperty, 2);
      if (item) {
        PyTuple_SET_ITEM(item, 0, id);
        PyTuple_SET_ITEM(item, 1, text(e.value));
      }
    } else {
      item = newTuple(g.property, 4);
      if (item) {
        PyTuple_SET_ITEM(item, 0, id);
        PyTuple_SET_ITEM(item, 1, e.binary ? bytesOf(e.value) : text(e.value));
        PyTuple_SET_ITEM(item, 2, PyLong_FromLong(e.flags));
        PyTuple_SET_ITEM(item, 3, PyLong_FromLong(e.access));
      }
    }
    if (!item) Py_DECREF(id);
    ok = item && PyTuple_GET_ITEM(item, 1) && PyList_Append(list, item) == 0;
    Py_XDECREF(item);
  });
  if (!ok) {
    Py_DECREF(list);
    return nullptr;
  }
  return list;
}

PyObject* valueOf(const Field& f) {
  switch (f.kind) {
    case FieldKind::kInteger: return PyLong_FromLongLong(f.integer);
    case FieldKind::kText: return text(f.text);
    case FieldKind::kObjId: return objIdOf(*f.id);
    case FieldKind::kBytes:
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f.bytes.data()),
                                       static_cast<Py_ssize_t>(f.bytes.size()));
    case FieldKind::kOldProperties:
    case FieldKind::kProperties: return entriesOf(f);
  }
  return nullptr;
}

// One command object: (target, command, fields in wire order).
PyObject* commandOf(const Incoming& in) {
  PyTypeObject* type = g.classes[in.command];
  const Py_ssize_t n = 2 + static_cast<Py_ssize_t>(fieldsOf(in.command).size());
  PyObject* o = newTuple(type, n);
  if (!o) return nullptr;
  PyObject* target = objIdOf(in.target);
  if (!target) {
    Py_DECREF(o);
    return nullptr;
  }
  PyTuple_SET_ITEM(o, 0, target);
  Py_INCREF(g.codes[in.command]);
  PyTuple_SET_ITEM(o, 1, g.codes[in.command]);
  Py_ssize_t i = 2;
  bool ok = true;
  forEachField(in, [&](const Field& f) {
    PyObject* v = ok ? valueOf(f) : nullptr;
    ok = v != nullptr;
    if (ok && i < n) PyTuple_SET_ITEM(o, i++, v);
  });
  if (!ok) {
    Py_DECREF(o);
    return nullptr;
  }
  return o;
}

void raiseRead(const char* what) {
  py::object type = py::module_::import("veltra._veltra").attr("ReadError");
  PyErr_SetString(type.ptr(), what);
}

// The commands of a whole frame whose length byte is right, element by
// element as parsePacket decodes them, without its vector of copies. A frame
// that does not decode goes through parsePacket itself, for its error.
PyObject* commandsOf(std::span<const uint8_t> frame) {
  const FrameView view = FrameView::whole(frame);
  Elements els(view);
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  try {
    for (const Element& e : els) {
      PyObject* c = commandOf(decode(e));
      if (!c || PyList_Append(list, c) != 0) {
        Py_XDECREF(c);
        Py_DECREF(list);
        return nullptr;
      }
      Py_DECREF(c);
    }
    if (!els.malformed()) return list;
  } catch (const ReadError&) {
  }
  Py_DECREF(list);
  std::vector<Incoming> commands;
  try {
    commands = parsePacket(frame.subspan(1));
  } catch (const ReadError& e) {
    raiseRead(e.what());
    return nullptr;
  }
  list = PyList_New(0);
  for (const Incoming& in : commands) {
    PyObject* c = list ? commandOf(in) : nullptr;
    if (!c || PyList_Append(list, c) != 0) {
      Py_XDECREF(c);
      Py_XDECREF(list);
      return nullptr;
    }
    Py_DECREF(c);
  }
  return list;
}

// parse(frame): the hot path, a plain C function (METH_O).
PyObject* parse(PyObject*, PyObject* arg) {
  if (!g.ready) {
    PyErr_SetString(PyExc_RuntimeError, "veltra is not initialised");
    return nullptr;
  }
  if (PyUnicode_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "parse() takes bytes, not str");
    return nullptr;
  }
  Py_buffer view{};
  std::span<const uint8_t> frame;
  const bool isBytes = PyBytes_Check(arg);
  if (isBytes) {
    frame = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(arg)),
             static_cast<size_t>(PyBytes_GET_SIZE(arg))};
  } else {
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    frame = {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)};
  }
  PyObject* result = nullptr;
  if (frame.empty() || frame[0] != frame.size()) {
    const std::string what = frame.empty()
                                 ? std::string("empty frame")
                                 : "length byte " + std::to_string(frame[0]) + " in a frame of " +
                                       std::to_string(frame.size()) + " bytes";
    raiseRead(what.c_str());
  } else {
    result = commandsOf(frame);
  }
  if (!isBytes) PyBuffer_Release(&view);
  return result;
}
PyMethodDef kParseDef = {"parse", parse, METH_O,
                         "parse(frame: bytes) -> list: the commands of one whole frame"};

// ---- Python values back into the library's types ------------------------------

std::string utf8Of(py::handle h, const char* what) {
  if (!PyUnicode_Check(h.ptr())) throw py::type_error(std::string(what) + " must be str");
  py::bytes b = py::reinterpret_steal<py::bytes>(
      PyUnicode_AsEncodedString(h.ptr(), "utf-8", "surrogatepass"));
  if (!b) throw py::error_already_set();
  return std::string(b);
}

std::string bytesFrom(py::handle h, const char* what) {
  if (!PyBytes_Check(h.ptr()) && !PyByteArray_Check(h.ptr()))
    throw py::type_error(std::string(what) + " must be bytes");
  return std::string(py::bytes(py::reinterpret_borrow<py::object>(h)));
}

// An ObjID object, an int (a short id) or a str (a long id).
ObjID objIdFrom(py::handle h) {
  if (PyLong_Check(h.ptr())) {
    const long v = PyLong_AsLong(h.ptr());
    if (v < 1 || v > 255) throw py::value_error("a short id is 1..255");
    return ObjID(static_cast<uint8_t>(v));
  }
  if (PyUnicode_Check(h.ptr())) return ObjID(utf8Of(h, "a long id"));
  if (PyTuple_Check(h.ptr()) && PyTuple_GET_SIZE(h.ptr()) == 2) {
    const long s = PyLong_AsLong(PyTuple_GET_ITEM(h.ptr(), 0));
    if (s == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (s != 0) return ObjID(static_cast<uint8_t>(s));
    ObjID id;
    std::string t = utf8Of(PyTuple_GET_ITEM(h.ptr(), 1), "a long id");
    // ObjID(text) drops a leading "!"; a decoded long id has none to drop.
    return t.empty() ? id : ObjID(t[0] == '!' ? "!" + t : t);
  }
  throw py::type_error("an object id must be an ObjID, an int or a str");
}

template <typename T>
T integerFrom(py::handle h, const char* name) {
  if (!PyLong_Check(h.ptr())) throw py::type_error(std::string(name) + " must be int");
  const long long v = PyLong_AsLongLong(h.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max())
    throw py::value_error(std::string(name) + " = " + std::to_string(v) + " is out of range " +
                          std::to_string(+std::numeric_limits<T>::min()) + ".." +
                          std::to_string(+std::numeric_limits<T>::max()));
  return static_cast<T>(v);
}

OldPropertyList oldPropsFrom(py::handle h) {
  OldPropertyList l;
  for (py::handle e : py::iter(h)) {
    py::tuple t = py::reinterpret_borrow<py::object>(e);
    l.add(integerFrom<uint8_t>(t[0], "a property id"), utf8Of(t[1], "a property value"));
  }
  return l;
}

PropertyList propsFrom(py::handle h) {
  PropertyList l;
  for (py::handle e : py::iter(h)) {
    py::tuple t = py::reinterpret_borrow<py::object>(e);
    const auto id = integerFrom<uint8_t>(t[0], "a property id");
    const auto flags = t.size() > 2 ? integerFrom<uint8_t>(t[2], "flags") : uint8_t{0};
    const auto access = t.size() > 3 ? integerFrom<uint8_t>(t[3], "access") : uint8_t{0};
    const bool binary = (flags & kPropFlagBinary) != 0;
    l.add(id, binary ? bytesFrom(t[1], "a binary value") : utf8Of(t[1], "a property value"), flags,
          access);
  }
  return l;
}

template <typename T>
void assign(T& out, py::handle h, const char* name) {
  if constexpr (std::is_integral_v<T>) {
    out = integerFrom<T>(h, name);
  } else if constexpr (std::is_same_v<T, std::string>) {
    out = utf8Of(h, name);
  } else if constexpr (std::is_same_v<T, ObjID>) {
    out = objIdFrom(h);
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    const std::string b = bytesFrom(h, name);
    out.assign(b.begin(), b.end());
  } else if constexpr (std::is_same_v<T, OldPropertyList>) {
    out = oldPropsFrom(h);
  } else {
    out = propsFrom(h);
  }
}

// A command object (target, command, fields...) back into an Incoming,
// through the layout table.
Incoming incomingFrom(py::handle obj) {
  py::tuple t = py::reinterpret_borrow<py::object>(obj);
  if (t.size() < 2) throw py::type_error("not a command");
  Incoming in;
  in.target = objIdFrom(t[0]);
  in.command = integerFrom<uint8_t>(t[1], "command");
  in.body = detail::withBodyType(in.command, [&](auto type) -> CommandBody {
    using Body = typename decltype(type)::type;
    Body b{};
    if constexpr (std::is_same_v<Body, Unparsed>) b.command = in.command;
    size_t i = 2;
    std::apply(
        [&](auto... field) {
          (
              [&] {
                if (i < t.size()) assign(b.*field.ptr, t[i], field.name);
                ++i;
              }(),
              ...);
        },
        detail::Layout<Body>::kFields);
    if (t.size() != 2 + fieldsOf(in.command).size()) throw py::type_error("fields do not match");
    return b;
  });
  return in;
}

py::bytes asBytes(const Bytes& b) {
  return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
}

py::bytes encode(py::handle obj) {
  const Incoming in = incomingFrom(obj);
  Bytes body;
  appendBody(body, in.body);
  PacketWriter w(in.target, static_cast<Command>(in.command));
  w.raw(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  return asBytes(w.finish());
}

py::str describeOf(py::handle obj) {
  const std::string line = describe(incomingFrom(obj));
  return py::reinterpret_steal<py::str>(text(line));
}

// ---- Framer -------------------------------------------------------------------

class PyFramer {
 public:
  size_t feed(py::handle data) {
    const std::string b = bytesFrom(data, "data");
    return framer_.feed(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(b.data()), b.size()));
  }
  py::object next() {
    std::span<const uint8_t> f;
    switch (framer_.nextWhole(f)) {
      case Framer::Result::kNeedMore: return py::none();
      case Framer::Result::kFrame:
        return py::bytes(reinterpret_cast<const char*>(f.data()), f.size());
      case Framer::Result::kBadLength: break;
    }
    throw ReadError("bad length byte " + std::to_string(framer_.badLength()) +
                    " (a frame takes 3..255 bytes)");
  }
  Framer framer_;
};

void setup(py::sequence classes, py::sequence codes, py::type objId, py::sequence shortIds,
           py::type property, py::type oldProperty, py::sequence propIds) {
  for (size_t i = 0; i < 256; ++i) {
    g.classes[i] = reinterpret_cast<PyTypeObject*>(classes[i].ptr());
    g.codes[i] = codes[i].ptr();
    g.shortIds[i] = shortIds[i].ptr();
    g.propIds[i] = propIds[i].ptr();
    Py_INCREF(g.classes[i]);
    Py_INCREF(g.codes[i]);
    Py_INCREF(g.shortIds[i]);
    Py_INCREF(g.propIds[i]);
  }
  g.objId = reinterpret_cast<PyTypeObject*>(objId.inc_ref().ptr());
  g.property = reinterpret_cast<PyTypeObject*>(property.inc_ref().ptr());
  g.oldProperty = reinterpret_cast<PyTypeObject*>(oldProperty.inc_ref().ptr());
  g.ready = true;
}

const char* kindName(FieldKind k) {
  switch (k) {
    case FieldKind::kInteger: return "int";
    case FieldKind::kText: return "text";
    case FieldKind::kObjId: return "objid";
    case FieldKind::kBytes: return "bytes";
    case FieldKind::kOldProperties: return "old_properties";
    case FieldKind::kProperties: return "properties";
  }
  return "";
}

void defineBuilders(py::module_& b) {
  using py::arg;
  const auto id = [](py::handle h) { return objIdFrom(h); };
  b.def(
      "login_properties",
      [](const std::string& user, const std::string& password) {
        py::list out;
        const OldPropertyList props = loginProperties(user, password);
        for (const OldProperty& p : props.all())
          out.append(py::make_tuple(p.id, py::reinterpret_steal<py::str>(text(p.value))));
        return out;
      },
      arg("user"), arg("password") = "");
  b.def("prop_request", [] { return asBytes(buildPropRequest()); });
  b.def(
      "session_init",
      [](py::handle props) { return asBytes(buildSessionInit(oldPropsFrom(props))); },
      arg("props"));
  b.def(
      "login",
      [](const std::string& user, const std::string& password) {
        return asBytes(buildSessionInit(loginProperties(user, password)));
      },
      arg("user"), arg("password") = "");
  b.def(
      "property_set",
      [](const std::string& fromUser, py::handle props) {
        return asBytes(buildPropertySet(fromUser, propsFrom(props)));
      },
      arg("from_user"), arg("props"));
  b.def(
      "room_id_request", [](const std::string& name) { return asBytes(buildRoomIdRequest(name)); },
      arg("room_name"));
  b.def(
      "subscribe",
      [](uint16_t room, int16_t x, int16_t y, int16_t z, int16_t distance) {
        return asBytes(buildSubscribe(room, x, y, z, distance));
      },
      arg("room"), arg("x") = 0, arg("y") = 0, arg("z") = 0, arg("distance") = 0);
  b.def(
      "teleport",
      [](uint16_t room, int8_t exitType, int8_t entryType, int16_t x, int16_t y, int16_t z,
         int16_t dir) { return asBytes(buildTeleport(room, exitType, entryType, x, y, z, dir)); },
      arg("room"), arg("exit_type") = 0, arg("entry_type") = 0, arg("x") = 0, arg("y") = 0,
      arg("z") = 0, arg("dir") = 0);
  b.def(
      "session_exit",
      [](py::handle props) { return asBytes(buildSessionExit(oldPropsFrom(props))); },
      arg("props"));
  b.def(
      "property_update",
      [=](py::handle props, py::handle target) {
        return asBytes(target.is_none() ? buildPropertyUpdate(propsFrom(props))
                                        : buildPropertyUpdateFor(id(target), propsFrom(props)));
      },
      arg("props"), arg("target") = py::none());
  b.def(
      "session_init_reply",
      [](py::handle props) { return asBytes(buildSessionInitReply(oldPropsFrom(props))); },
      arg("props"));
  b.def(
      "session_exit_reply", [](int code) { return asBytes(buildSessionExitReply(code)); },
      arg("error_code"));
  b.def(
      "room_id",
      [](const std::string& name, uint16_t number) { return asBytes(buildRoomId(name, number)); },
      arg("room_name"), arg("room_number"));
  b.def(
      "appear_actor",
      [=](py::handle who, uint16_t room, int16_t x, int16_t y, int16_t z, int16_t dir) {
        return asBytes(buildAppearActor(id(who), room, x, y, z, dir));
      },
      arg("who"), arg("room"), arg("x") = 0, arg("y") = 0, arg("z") = 0, arg("dir") = 0);
  b.def(
      "disappear", [=](py::handle who) { return asBytes(buildDisappear(id(who))); }, arg("who"));
  b.def(
      "longloc",
      [=](py::handle who, int16_t x, int16_t y, int16_t z, int16_t dir) {
        return asBytes(buildLongLoc(id(who), x, y, z, dir));
      },
      arg("who"), arg("x") = 0, arg("y") = 0, arg("z") = 0, arg("dir") = 0);
  b.def(
      "shortloc",
      [=](py::handle who, int8_t dx, int8_t dy, int8_t ddir) {
        return asBytes(buildShortLoc(id(who), dx, dy, ddir));
      },
      arg("who"), arg("dx") = 0, arg("dy") = 0, arg("ddir") = 0);
  b.def(
      "register_objid",
      [](const std::string& longId, uint8_t shortId) {
        return asBytes(buildRegisterObjId(longId, shortId));
      },
      arg("long_id"), arg("short_id"));
  b.def(
      "buddy_list_notify",
      [](const std::string& buddy, bool online) {
        return asBytes(buildBuddyListNotify(buddy, online));
      },
      arg("buddy"), arg("online"));
  b.def(
      "text",
      [](const std::string& sender, const std::string& t) { return asBytes(buildText(sender, t)); },
      arg("sender"), arg("text"));
  b.def(
      "whisper",
      [](const std::string& sender, const std::string& t) {
        return asBytes(buildWhisper(sender, t));
      },
      arg("sender"), arg("text"));
}

}  // namespace

PYBIND11_MODULE(_veltra, m) {
  m.doc() = "The veltra library underneath the veltra package";
  m.attr("__version__") = kVersion;
  py::register_exception<ReadError>(m, "ReadError", PyExc_ValueError);
  py::register_exception<WriteError>(m, "WriteError", PyExc_ValueError);

  m.add_object("parse", py::reinterpret_steal<py::object>(PyCFunction_New(&kParseDef, nullptr)));
  m.def("_setup", &setup);
  m.def("_encode", &encode, "The whole frame of a command object");
  m.def("_describe", &describeOf, "The library's one-line description of a command object");
  m.def(
      "write_frame",
      [](py::handle target, int command, py::handle body) {
        PacketWriter w(objIdFrom(target),
                       static_cast<Command>(integerFrom<uint8_t>(py::int_(command), "command")));
        w.raw(bytesFrom(body, "body"));
        return asBytes(w.finish());
      },
      py::arg("target"), py::arg("command"), py::arg("body") = py::bytes());
  m.def("command_id", [](uint8_t c) { return std::string(commandId(c)); });
  m.def("command_name", [](uint8_t c) { return std::string(commandName(c)); });
  m.def("fields_of", [](uint8_t c) {
    py::list out;
    for (const FieldInfo& f : fieldsOf(c))
      out.append(py::make_tuple(f.name, kindName(f.kind), f.width, f.isSigned));
    return out;
  });
  m.def("property_name", [](uint8_t id) -> py::object {
    const char* n = propertyName(id);
    return n ? py::object(py::str(n)) : py::object(py::none());
  });
  m.def("property_label", [](uint8_t id) { return propertyLabel(id); });
  m.attr("OBJ_CLIENT") = int{kObjClient};
  m.attr("OBJ_CURRENT_ROOM") = int{kObjCurrentRoom};
  m.attr("OBJ_COMPOUND") = int{kObjCompound};
  m.attr("OBJ_PROTOCOL") = int{kObjProtocol};
  m.attr("PROP_FLAG_BINARY") = int{kPropFlagBinary};
  m.attr("PROP_FLAG_FINGER") = int{kPropFlagFinger};
  m.attr("PROP_FLAG_AUTO_UPDATE") = int{kPropFlagAutoUpdate};
  m.attr("PROP_FLAG_DB_STORE") = int{kPropFlagDbStore};

  py::class_<PyFramer>(m, "Framer")
      .def(py::init<>())
      .def("feed", &PyFramer::feed, py::arg("data"),
           "Buffers received bytes; returns how many it took")
      .def("next", &PyFramer::next, "The next whole frame (length byte first), or None")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__",
           [](PyFramer& f) {
             py::object frame = f.next();
             if (frame.is_none()) throw py::stop_iteration();
             return frame;
           })
      .def_property_readonly("space", [](const PyFramer& f) { return f.framer_.space(); })
      .def_property_readonly("buffered", [](const PyFramer& f) { return f.framer_.buffered(); });

  py::module_ b = m.def_submodule("build", "Frames built by the library's builders");
  defineBuilders(b);
}
