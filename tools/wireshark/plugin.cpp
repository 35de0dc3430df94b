// The protocol as a Wireshark/tshark dissector, decoded by veltra::proto so the
// two never disagree. Field names come from the library's field model.
//
// Two rules keep C++ and Wireshark apart. No C++ exception reaches Wireshark:
// planFrame, the only code that decodes, catches everything. No Wireshark
// exception (a longjmp) passes a C++ object that owns memory: planFrame calls
// nothing of Wireshark's that throws and leaves its results in packet-scoped
// memory, and renderFrame, which calls the tree functions, owns nothing.
#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <span>
#include <string>
#include <vector>

extern "C" {
#include <epan/conversation.h>
#include <epan/dissectors/packet-tcp.h>
#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <ws_symbol_export.h>
#include <ws_version.h>
}

#include "veltra/proto/commands.hpp"
#include "veltra/proto/constants.hpp"
#include "veltra/proto/fields.hpp"
#include "veltra/proto/property.hpp"
#include "veltra/proto/view.hpp"

// What Wireshark looks up in a plugin; C++ would give the constants internal
// linkage without the extern declarations.
extern "C" {
WS_DLL_PUBLIC_DEF extern const char plugin_version[];
WS_DLL_PUBLIC_DEF extern const int plugin_want_major;
WS_DLL_PUBLIC_DEF extern const int plugin_want_minor;
WS_DLL_PUBLIC_DEF void plugin_register(void);
}
const char plugin_version[] = VELTRA_PLUGIN_VERSION;
const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

namespace {

using namespace veltra::proto;

constexpr guint kMinFrame = 3;  // length byte, a short target, the command byte

int protoVeltra = -1;
int hfLength = -1, hfTarget = -1, hfTargetShort = -1, hfCommand = -1, hfElement = -1;
int hfProperty = -1, hfPropId = -1, hfPropFlags = -1, hfPropAccess = -1, hfPropValue = -1;
int hfPropBytes = -1, hfRaw = -1;
int ettVeltra = -1, ettElement = -1, ettList = -1, ettProperty = -1;
expert_field eiLength = EI_INIT, eiUndecodable = EI_INIT, eiCut = EI_INIT, eiLost = EI_INIT;
dissector_handle_t veltraHandle;

// The field ids of every command's body fields, in the field model's order.
std::vector<int*> bodyFields[256];
value_string commandNames[257];
value_string propertyNames[257];

// ---- Planning: decoding into a list of tree items ----------------------------

enum class Op : uint8_t { kUint, kInt, kString, kBytes, kBytesAt, kOpen, kClose, kExpert };
struct Item {
  Op op;
  int hf;  // kExpert: index into kExperts
  int offset, length;
  int64_t value;
  const char* text;  // packet-scoped
  const uint8_t* bytes;
};
expert_field* const kExperts[] = {&eiLength, &eiUndecodable, &eiCut};
enum ExpertIndex { kExpertLength, kExpertUndecodable, kExpertCut };

struct Plan {
  Item* items = nullptr;
  size_t count = 0;
  const char* info = nullptr;
};

class Planner {
 public:
  Planner(const uint8_t* frame, wmem_allocator_t* pool, bool tree)
      : frame_(frame), pool_(pool), tree_(tree) {}

  void add(Op op, int hf, std::span<const uint8_t> at, int64_t value = 0,
           const std::string& text = {}, const uint8_t* bytes = nullptr) {
    if (!tree_ && op != Op::kExpert) return;
    items_.push_back({op, hf, static_cast<int>(at.data() - frame_), static_cast<int>(at.size()),
                      value, text.empty() && op != Op::kString ? nullptr : copy(text), bytes});
  }
  void target(const ObjID& id, std::span<const uint8_t> at) {
    add(Op::kString, hfTarget, at, 0, id.describe());
    add(Op::kUint, hfTargetShort, at, id.shortId());
  }
  void fields(const Incoming& in, std::span<const uint8_t> body) {
    if (!tree_) return;
    const std::vector<int*>& ids = bodyFields[in.command];
    size_t i = 0, at = 0;
    forEachField(in, [&](const Field& f) {
      const size_t n = std::min(f.size, body.size() - std::min(at, body.size()));
      const auto span = body.subspan(std::min(at, body.size()), n);
      const int hf = i < ids.size() ? *ids[i] : -1;
      ++i, at += f.size;
      if (hf < 0) return;  // the field model and the registered fields agree; never taken
      switch (f.kind) {
        case FieldKind::kInteger:
          add(f.isSigned ? Op::kInt : Op::kUint, hf, span, f.integer);
          break;
        case FieldKind::kText: add(Op::kString, hf, span, 0, std::string(f.text)); break;
        case FieldKind::kObjId: add(Op::kString, hf, span, 0, f.id->describe()); break;
        case FieldKind::kBytes: add(Op::kBytes, hf, span); break;
        case FieldKind::kOldProperties:
        case FieldKind::kProperties: {
          size_t entries = 0;
          forEachEntry(f, [&](const PropertyEntry&) { ++entries; });
          add(Op::kOpen, hf, span, ettList, std::to_string(entries) + " entries");
          forEachEntry(f, [&](const PropertyEntry& p) { entry(p, f.props != nullptr, span); });
          add(Op::kClose, -1, span);
          break;
        }
      }
    });
  }
  void info(const std::string& line) { info_ += (info_.empty() ? "" : " | ") + line; }
  Plan finish() {
    Plan p;
    p.count = items_.size();
    p.items = static_cast<Item*>(wmem_alloc(pool_, sizeof(Item) * std::max<size_t>(1, p.count)));
    std::copy(items_.begin(), items_.end(), p.items);
    p.info = copy(info_);
    return p;
  }

 private:
  void entry(const PropertyEntry& p, bool newStyle, std::span<const uint8_t> list) {
    const char* name = propertyName(p.id);
    std::string value = p.binary ? std::to_string(p.value.size()) + " bytes" : std::string(p.value);
    add(Op::kOpen, hfProperty, list, ettProperty,
        (name ? std::string(name) : propertyLabel(p.id)) + ": " + value);
    add(Op::kUint, hfPropId, list, p.id);
    if (newStyle) {
      add(Op::kUint, hfPropFlags, list, p.flags);
      add(Op::kUint, hfPropAccess, list, p.access);
    }
    if (p.binary) {
      add(Op::kBytesAt, hfPropBytes, list.first(0), static_cast<int64_t>(p.value.size()), {},
          static_cast<const uint8_t*>(wmem_memdup(pool_, p.value.data(), p.value.size())));
    } else {
      add(Op::kString, hfPropValue, list, 0, value);
    }
    add(Op::kClose, -1, list);
  }
  const char* copy(const std::string& s) { return wmem_strndup(pool_, s.data(), s.size()); }

  const uint8_t* frame_;
  wmem_allocator_t* pool_;
  bool tree_;
  std::vector<Item> items_;
  std::string info_;
};

// Decodes one frame, length byte first: `captured` of its `reported` bytes.
// Never throws.
Plan planFrame(const uint8_t* frame, guint captured, guint reported, wmem_allocator_t* pool,
               bool tree) noexcept {
  try {
    Planner p(frame, pool, tree);
    const std::span<const uint8_t> all(frame, captured);
    p.add(Op::kUint, hfLength, all.first(1), frame[0]);
    if (frame[0] < kMinFrame) {
      const std::string why = "invalid length byte " + std::to_string(frame[0]) + " (below " +
                              std::to_string(kMinFrame) + "); this direction is no longer decoded";
      p.add(Op::kBytes, hfRaw, all.subspan(1));
      p.add(Op::kExpert, kExpertLength, all.first(1), 0, why);
      p.info("!! " + why);
      return p.finish();
    }
    if (captured < reported) {
      const std::string why = "frame cut short by the capture: " + std::to_string(captured) +
                              " of " + std::to_string(reported) + " bytes captured";
      p.add(Op::kBytes, hfRaw, all.subspan(1));
      p.add(Op::kExpert, kExpertCut, all, 0, why);
      p.info("!! " + why);
      return p.finish();
    }
    const std::span<const uint8_t> packet = all.subspan(1);
    const FrameView view(packet);
    std::vector<Incoming> decoded;
    std::string error;
    try {
      decoded = parsePacket(packet);
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (!error.empty()) {
      if (view.valid()) {
        try {
          p.target(view.target().toObjID(), view.target().bytes());
        } catch (const std::exception&) {
        }
      }
      p.add(Op::kBytes, hfRaw, packet);
      p.add(Op::kExpert, kExpertUndecodable, all, 0, "undecodable frame: " + error);
      p.info("!! undecodable frame: " + error);
      return p.finish();
    }
    // The views give each element's place in the frame; the parser, its values.
    std::vector<Element> elements;
    for (const Element& e : Elements(view)) elements.push_back(e);
    if (elements.size() != decoded.size()) elements.assign(decoded.size(), Element{});
    if (!view.compound()) {
      p.target(decoded[0].target, view.target().bytes());
      p.add(Op::kUint, hfCommand, packet.subspan(view.target().size(), 1), decoded[0].command);
      p.fields(decoded[0], elements[0].body.empty() ? view.body() : elements[0].body);
      p.info(describe(decoded[0]));
      return p.finish();
    }
    p.target(ObjID(view.target().shortId()), view.target().bytes());
    for (size_t i = 0; i < decoded.size(); ++i) {
      const Element& e = elements[i];
      const std::string line = describe(decoded[i]);
      const auto whole = e.target.bytes().empty()
                             ? view.body()
                             : std::span(e.target.bytes().data(), e.target.size() + e.body.size());
      p.add(Op::kOpen, hfElement, whole, ettElement, line);
      p.target(decoded[i].target, e.target.bytes().empty() ? whole : e.target.bytes());
      p.add(Op::kUint, hfCommand, packet.subspan(view.target().size(), 1), decoded[i].command);
      p.fields(decoded[i], e.target.bytes().empty() ? whole : e.body);
      p.add(Op::kClose, -1, whole);
      p.info(line);
    }
    return p.finish();
  } catch (...) {
    // Out of memory in a C++ container: the frame is shown undecoded.
    Plan p;
    p.info = "!! not decoded: out of memory";
    return p;
  }
}

// ---- Rendering: the plan into Wireshark's tree; owns nothing -------------------

void renderFrame(const Plan& plan, tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree) {
  proto_item* top = proto_tree_add_item(tree, protoVeltra, tvb, 0, -1, ENC_NA);
  proto_tree* stack[8];
  size_t depth = 0;
  stack[0] = proto_item_add_subtree(top, ettVeltra);
  for (size_t i = 0; i < plan.count; ++i) {
    const Item& it = plan.items[i];
    proto_tree* t = stack[depth];
    switch (it.op) {
      case Op::kUint:
        proto_tree_add_uint(t, it.hf, tvb, it.offset, it.length, static_cast<guint32>(it.value));
        break;
      case Op::kInt:
        proto_tree_add_int(t, it.hf, tvb, it.offset, it.length, static_cast<gint32>(it.value));
        break;
      case Op::kString: proto_tree_add_string(t, it.hf, tvb, it.offset, it.length, it.text); break;
      case Op::kBytes: proto_tree_add_item(t, it.hf, tvb, it.offset, it.length, ENC_NA); break;
      case Op::kBytesAt:
        proto_tree_add_bytes_with_length(t, it.hf, tvb, it.offset, 0, it.bytes,
                                         static_cast<gint>(it.value));
        break;
      case Op::kOpen: {
        proto_item* sub = proto_tree_add_none_format(t, it.hf, tvb, it.offset, it.length, "%s: %s",
                                                     proto_registrar_get_name(it.hf), it.text);
        if (depth + 1 < std::size(stack))
          stack[++depth] = proto_item_add_subtree(sub, static_cast<gint>(it.value));
        break;
      }
      case Op::kClose:
        if (depth > 0) --depth;
        break;
      case Op::kExpert:
        proto_tree_add_expert_format(stack[0], pinfo, kExperts[it.hf], tvb, it.offset, it.length,
                                     "%s", it.text);
        break;
    }
  }
  col_append_sep_str(pinfo->cinfo, COL_INFO, " | ", plan.info);
}

// ---- Framing ---------------------------------------------------------------------

// Where each direction of a connection lost its framing (an invalid length
// byte): the frame number, 0 while it has not.
struct Session {
  guint32 lostAt[2] = {0, 0};
};

guint frameLength(packet_info*, tvbuff_t* tvb, int offset, void*) {
  const guint n = tvb_get_guint8(tvb, offset);
  // An invalid length byte: the rest of the segment is reported as one frame.
  return n >= kMinFrame ? n : static_cast<guint>(tvb_reported_length_remaining(tvb, offset));
}

int dissectFrame(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data) {
  const guint captured = tvb_captured_length(tvb), reported = tvb_reported_length(tvb);
  if (captured == 0) return 0;
  const Plan plan =
      planFrame(tvb_get_ptr(tvb, 0, captured), captured, reported, pinfo->pool, tree != nullptr);
  renderFrame(plan, tvb, pinfo, tree);
  if (tvb_get_guint8(tvb, 0) < kMinFrame) static_cast<Session*>(data)->lostAt[0] = pinfo->num;
  return static_cast<int>(reported);
}

int dissectTcp(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void*) {
  col_set_str(pinfo->cinfo, COL_PROTOCOL, "VELTRA");
  col_clear(pinfo->cinfo, COL_INFO);
  conversation_t* conv = find_or_create_conversation(pinfo);
  auto* s = static_cast<Session*>(conversation_get_proto_data(conv, protoVeltra));
  if (!s) {
    s = wmem_new0(wmem_file_scope(), Session);
    conversation_add_proto_data(conv, protoVeltra, s);
  }
  // The direction: which end sends, by address then port.
  const int c = cmp_address(&pinfo->src, &pinfo->dst);
  const int dir = c < 0 || (c == 0 && pinfo->srcport < pinfo->destport) ? 0 : 1;
  guint32& lostAt = s->lostAt[dir];
  if (lostAt != 0 && pinfo->num > lostAt) {
    proto_item* top = proto_tree_add_item(tree, protoVeltra, tvb, 0, -1, ENC_NA);
    proto_tree_add_expert_format(proto_item_add_subtree(top, ettVeltra), pinfo, &eiLost, tvb, 0, -1,
                                 "not decoded: this direction lost its framing in frame %u",
                                 lostAt);
    col_add_fstr(pinfo->cinfo, COL_INFO, "!! not decoded (framing lost in frame %u)", lostAt);
    return static_cast<int>(tvb_captured_length(tvb));
  }
  Session one;  // receives the frame number of an invalid length byte
  tcp_dissect_pdus(tvb, pinfo, tree, TRUE, 1, frameLength, dissectFrame, &one);
  if (one.lostAt[0] != 0 && lostAt == 0) lostAt = one.lostAt[0];
  return static_cast<int>(tvb_captured_length(tvb));
}

// ---- The heuristic ---------------------------------------------------------------

// Whether a TCP payload is whole frames of this protocol, each addressed to
// a named command, decodable and without bytes the parser would ignore.
// Random bytes rarely are: a run of length bytes must end exactly at the end.
bool looksLikeFrames(std::span<const uint8_t> p) noexcept {
  if (p.size() < kMinFrame) return false;
  // A TLS record header, and HTTP's text: never ours.
  if (p[0] >= 0x14 && p[0] <= 0x18 && p[1] == 0x03 && p[2] <= 0x04) return false;
  if (std::all_of(p.begin(), p.begin() + 3, [](uint8_t b) { return b >= 'A' && b <= 'Z'; }))
    return false;
  try {
    while (!p.empty()) {
      const size_t n = p[0];
      if (n < kMinFrame || n > p.size()) return false;
      const FrameView view(p.subspan(1, n - 1));
      if (!view.valid() || std::string_view(commandName(view.command())) == "UNKNOWN") return false;
      size_t used = view.target().size() + 1;
      Elements els(view);
      for (const Element& e : els) used += e.body.size() + (view.compound() ? e.target.size() : 0);
      if (els.malformed() || used != n - 1) return false;
      parsePacket(view.packet());
      p = p.subspan(n);
    }
    return true;
  } catch (...) {
    return false;
  }
}

gboolean heuristicTcp(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data) {
  const guint n = tvb_captured_length(tvb);
  if (n < kMinFrame || n != tvb_reported_length(tvb)) return FALSE;
  if (!looksLikeFrames(std::span(tvb_get_ptr(tvb, 0, n), n))) return FALSE;
  conversation_set_dissector(find_or_create_conversation(pinfo), veltraHandle);
  dissectTcp(tvb, pinfo, tree, data);
  return TRUE;
}

// ---- Registration ----------------------------------------------------------------

hf_register_info field(int* id, const char* name, const char* abbrev, ftenum type, int display,
                       const void* strings = nullptr) {
  return hf_register_info{id, {name, abbrev, type, display, strings, 0, nullptr, HFILL}};
}

void registerProtocol() {
  protoVeltra = proto_register_protocol("Veltra chat protocol", "VELTRA", "veltra");
  size_t k = 0;
  for (int c = 0; c < 256; ++c)
    if (std::string_view(commandName(static_cast<uint8_t>(c))) != "UNKNOWN")
      commandNames[k++] = {static_cast<guint32>(c), commandName(static_cast<uint8_t>(c))};
  k = 0;
  for (int id = 0; id < 256; ++id)
    if (const char* name = propertyName(static_cast<uint8_t>(id)))
      propertyNames[k++] = {static_cast<guint32>(id), name};

  // Wireshark keeps pointers into the array and the ids: they live as long as
  // the process.
  std::vector<hf_register_info> hf = {
      field(&hfLength, "Length", "veltra.length", FT_UINT8, BASE_DEC),
      field(&hfTarget, "Target", "veltra.target", FT_STRING, BASE_NONE),
      field(&hfTargetShort, "Target short id", "veltra.target.short_id", FT_UINT8, BASE_DEC),
      field(&hfCommand, "Command", "veltra.command", FT_UINT8, BASE_DEC, VALS(commandNames)),
      field(&hfElement, "Element", "veltra.element", FT_NONE, BASE_NONE),
      field(&hfProperty, "Property", "veltra.property", FT_NONE, BASE_NONE),
      field(&hfPropId, "Id", "veltra.property.id", FT_UINT8, BASE_DEC, VALS(propertyNames)),
      field(&hfPropFlags, "Flags", "veltra.property.flags", FT_UINT8, BASE_HEX),
      field(&hfPropAccess, "Access", "veltra.property.access", FT_UINT8, BASE_HEX),
      field(&hfPropValue, "Value", "veltra.property.value", FT_STRING, BASE_NONE),
      field(&hfPropBytes, "Binary value", "veltra.property.bytes", FT_BYTES, BASE_NONE),
      field(&hfRaw, "Undecoded bytes", "veltra.raw", FT_BYTES, BASE_NONE),
  };
  // One field per command id and body field: "veltra.longloc.x".
  auto* ids = new std::deque<int>;
  std::map<std::string, std::vector<int*>> byCommand;
  for (int c = 0; c < 256; ++c) {
    const std::string cmd = commandId(static_cast<uint8_t>(c));
    auto [at, added] = byCommand.try_emplace(cmd);
    if (added) {
      for (const FieldInfo& f : fieldsOf(static_cast<uint8_t>(c))) {
        int* id = &ids->emplace_back(-1);
        at->second.push_back(id);
        const char* abbrev = g_strdup((std::string("veltra.") + cmd + "." + f.name).c_str());
        ftenum type = FT_NONE;
        int display = BASE_NONE;
        switch (f.kind) {
          case FieldKind::kInteger:
            type = f.width == 1 ? (f.isSigned ? FT_INT8 : FT_UINT8)
                                : (f.isSigned ? FT_INT16 : FT_UINT16);
            display = BASE_DEC;
            break;
          case FieldKind::kText:
          case FieldKind::kObjId: type = FT_STRING; break;
          case FieldKind::kBytes: type = FT_BYTES; break;
          default: break;
        }
        hf.push_back(field(id, f.name, abbrev, type, display));
      }
    }
    bodyFields[c] = at->second;
  }
  auto* kept = new std::vector<hf_register_info>(std::move(hf));
  proto_register_field_array(protoVeltra, kept->data(), static_cast<int>(kept->size()));

  static gint* ett[] = {&ettVeltra, &ettElement, &ettList, &ettProperty};
  proto_register_subtree_array(ett, G_N_ELEMENTS(ett));

  static ei_register_info ei[] = {
      {&eiLength,
       {"veltra.length.invalid", PI_MALFORMED, PI_ERROR, "Invalid length byte", EXPFILL}},
      {&eiUndecodable,
       {"veltra.undecodable", PI_MALFORMED, PI_ERROR, "Undecodable frame", EXPFILL}},
      {&eiCut,
       {"veltra.cut_short", PI_MALFORMED, PI_WARN, "Frame cut short by the capture", EXPFILL}},
      {&eiLost, {"veltra.framing_lost", PI_SEQUENCE, PI_NOTE, "Framing lost", EXPFILL}},
  };
  expert_register_field_array(expert_register_protocol(protoVeltra), ei, G_N_ELEMENTS(ei));
  veltraHandle = register_dissector("veltra", dissectTcp, protoVeltra);
}

void registerHandoff() {
  // The port preference (veltra.tcp.port) and Decode As come with this.
  dissector_add_uint_with_preference("tcp.port", 6650, veltraHandle);
  heur_dissector_add("tcp", heuristicTcp, "Veltra over TCP on any port", "veltra_tcp", protoVeltra,
                     HEURISTIC_ENABLE);
}

}  // namespace

void plugin_register(void) {
  static proto_plugin plugin;
  plugin.register_protoinfo = registerProtocol;
  plugin.register_handoff = registerHandoff;
  proto_register_plugin(&plugin);
}
