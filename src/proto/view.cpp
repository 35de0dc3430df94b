#include "veltra/proto/view.hpp"

#include "veltra/proto/fields.hpp"
#include "veltra/proto/reader.hpp"

namespace veltra::proto {

ObjID IdView::toObjID() const {
  if (!isLong()) return ObjID(shortId());
  PacketReader r(bytes_.subspan(1));
  return ObjID(r.utf());
}

namespace detail {

// Walks the body's fields by the field model's table, measuring strings and
// ids by their length bytes; a field that runs to the end takes the rest.
size_t measureVariable(uint8_t cmd, std::span<const uint8_t> rest) noexcept {
  size_t at = 0;
  for (const FieldInfo& f : fieldsOf(cmd)) {
    const size_t left = rest.size() - at;
    switch (f.kind) {
      case FieldKind::kInteger:
        if (left < f.width) return kNoBody;
        at += f.width;
        break;
      case FieldKind::kText:
        if (left < 1 || left - 1 < rest[at]) return kNoBody;
        at += 1u + rest[at];
        break;
      case FieldKind::kObjId: {
        const size_t id = idBytes(rest.subspan(at));
        if (id == kNoBody) return kNoBody;
        at += id;
        break;
      }
      case FieldKind::kBytes:
      case FieldKind::kOldProperties:
      case FieldKind::kProperties: at = rest.size(); break;
    }
  }
  return at;
}

}  // namespace detail
}  // namespace veltra::proto
