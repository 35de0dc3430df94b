// The field model: every command's body as a list of named fields, in wire
// order, each with its kind and value, from the layout table (layout.hpp) that
// the parser follows too; a consumer (a JSON printer, a dissector, a binding)
// never lists a command's fields itself.
//
// Names are public API and never change: commands by commandId ("longloc",
// "subscribe_dist", "unknown"), fields by FieldInfo::name ("room_name",
// "exit_type"), property ids by propertyName ("username"); all lower-case
// snake_case. A command's target and code are not body fields: they are
// Incoming::target and Incoming::command. A compound frame is not a field
// either: each of its elements is an Incoming of its own (parsePacket gives
// them in order), visited like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/property.hpp"
#include "veltra/proto/view.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {

enum class FieldKind : uint8_t {
  kInteger,        // width 1 or 2 bytes, signed or not: Field::integer
  kText,           // a protocol string, as UTF-8: Field::text
  kObjId,          // an object id: Field::id
  kBytes,          // raw bytes to the end of the body: Field::bytes
  kOldProperties,  // an old-style property list to the end of the body: Field::oldProps
  kProperties,     // a new-style property list to the end of the body: Field::props
};

// A field as the layout declares it.
struct FieldInfo {
  const char* name = "";  // stable, snake_case
  FieldKind kind = FieldKind::kInteger;
  uint8_t width = 0;      // bytes of an integer; 0 for other kinds
  bool isSigned = false;  // of an integer
};

// A field with its value; only the member its kind names is set. Views point
// into the body visited and live as long as it does.
struct Field : FieldInfo {
  // The bytes the field takes in the body as writeBody writes it back: where
  // it sits in the body visited when the fields before it are summed (a
  // dissector highlights them).
  size_t size = 0;
  int64_t integer = 0;
  std::string_view text;
  std::span<const uint8_t> bytes;
  const ObjID* id = nullptr;
  const OldPropertyList* oldProps = nullptr;
  const PropertyList* props = nullptr;
};

// The stable identifier of a command code: "longloc", "room_change",
// "subscribe_dist", ...; "unknown" for codes without a name. Static storage.
const char* commandId(uint8_t cmd);

// The fields of the body parsePacket decodes for cmd, in wire order (none for
// DISAPPR; one, "payload", for the codes handed over raw).
std::span<const FieldInfo> fieldsOf(uint8_t cmd);

namespace detail {
using FieldCallback = void (*)(void* context, const Field& field);
void visitFields(const CommandBody& body, FieldCallback callback, void* context);
}  // namespace detail

// Calls f(const Field&) for each field of the body, in wire order. Unparsed's
// command byte is not a field (it is the command's code); its bytes are
// "payload".
template <typename F>
void forEachField(const CommandBody& body, F&& f) {
  detail::visitFields(
      body,
      [](void* c, const Field& field) { (*static_cast<std::remove_reference_t<F>*>(c))(field); },
      &f);
}
template <typename F>
void forEachField(const Incoming& in, F&& f) {
  forEachField(in.body, std::forward<F>(f));
}

// One entry of either kind of property list. flags and access are 0 for an
// old-style entry; value holds raw bytes when binary, else UTF-8.
struct PropertyEntry {
  uint8_t id = 0;
  uint8_t flags = 0;
  uint8_t access = 0;
  bool binary = false;
  std::string_view value;
};

// Calls g(const PropertyEntry&) for each entry of a property-list field, in
// list order; nothing for other kinds. The stable name of an entry's id is
// propertyName(id) (property.hpp).
template <typename G>
void forEachEntry(const Field& field, G&& g) {
  if (field.oldProps) {
    for (const OldProperty& p : field.oldProps->all()) g(PropertyEntry{p.id, 0, 0, false, p.value});
  }
  if (field.props) {
    for (const Property& p : field.props->all())
      g(PropertyEntry{p.id, p.flags, p.access, p.binary(), p.value});
  }
}

// ---- Bodies written and read through the same tables ------------------------

// The bytes writeBody writes for the body: no length byte, target or command.
size_t bodySize(const CommandBody& body);

// Writes the body's fields into out and returns their size. The writer's
// WriteErrors (a string over 255 bytes, a binary value over 255 bytes) and
// SpanWriter's "no room in the buffer"; out then holds part of the body.
size_t writeBody(std::span<uint8_t> out, const CommandBody& body);

// Appends the body's fields to out; on a WriteError nothing is appended.
void appendBody(Bytes& out, const CommandBody& body);

// Decodes the body of command cmd from exactly `body` (an Element's body), as
// parsePacket decodes it; bytes behind a self-delimiting body are ignored.
// Throws parsePacket's ReadErrors.
CommandBody decodeBody(uint8_t cmd, std::span<const uint8_t> body);

// An element decoded into an Incoming, the same as parsePacket's.
Incoming decode(const Element& e);

}  // namespace veltra::proto
