#include "veltra/proto/view.hpp"

#include <algorithm>

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

size_t appendElement(Bytes& out, size_t frame, std::span<const uint8_t> target, uint8_t cmd,
                     std::span<const uint8_t> body) {
  const size_t more = target.size() + body.size();
  // A plain frame cannot be addressed to 254, which marks a compound frame: an
  // element with that target travels in a compound frame of its own.
  const bool marker = target.size() == 1 && target[0] == kObjCompound;
  if (frameSize(target.size(), body.size()) + marker > kMaxFrameSize) return kNoFrame;
  const auto at = [&out](size_t i) { return out.begin() + static_cast<std::ptrdiff_t>(i); };
  if (frame < out.size() && out.size() - frame == out[frame]) {
    const FrameView last = FrameView::whole(std::span<const uint8_t>(out).subspan(frame));
    size_t size = out.size() - frame;
    bool compound = last.valid() && last.compound();
    if (last.valid() && last.command() == cmd) {
      if (!compound && size + 1 + more <= kMaxFrameSize) {
        // [len][target][cmd][body] becomes [len][254][cmd][target][body].
        const size_t t = last.target().size();
        out.insert(at(frame + 1), kObjCompound);
        std::rotate(at(frame + 2), at(frame + 2 + t), at(frame + 3 + t));
        ++size;
        compound = true;
      }
      if (compound && size + more <= kMaxFrameSize) {
        out.insert(out.end(), target.begin(), target.end());
        out.insert(out.end(), body.begin(), body.end());
        out[frame] = static_cast<uint8_t>(size + more);
        return frame;
      }
    }
  }
  const size_t start = out.size();
  out.push_back(static_cast<uint8_t>(frameSize(target.size(), body.size()) + marker));
  if (marker) out.insert(out.end(), {kObjCompound, cmd});
  out.insert(out.end(), target.begin(), target.end());
  if (!marker) out.push_back(cmd);
  out.insert(out.end(), body.begin(), body.end());
  return start;
}

}  // namespace veltra::proto
