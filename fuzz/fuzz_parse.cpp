// parsePacket on arbitrary spans. It either throws ReadError or returns
// commands that share the frame's command byte (one unless the frame is
// compound), and every one of them describes itself as one line headed by its
// mnemonic and bracketed target. Texts are copied unescaped, so a line may
// well end in a newline that came off the wire.
//
// The zero-copy side against it: a frame's view, cut into elements and each
// decoded through the field model's tables, fails where parsePacket fails and
// otherwise gives the same commands, field for field; the fixed-size readers
// give the parser's values and their writers the wire bytes; every decoded
// target and body, written with the body writers, reads back the same.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/fields.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/view.hpp"

using namespace veltra::proto;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Every field of a body in one string: names, kinds and values. normalise
// passes long ids through ObjID once more, as reading them back does (one
// leading "!" goes each time).
std::string dump(const CommandBody& body, bool normalise = false) {
  std::string out;
  auto id = [&](const ObjID& v) {
    out += v.isLong() ? "L" + (normalise ? ObjID(v.longId()).longId() : v.longId())
                      : "S" + std::to_string(v.shortId());
  };
  forEachField(body, [&](const Field& f) {
    out += std::string(f.name) + ':' + std::to_string(int(f.kind)) + ':' + std::to_string(f.width) +
           ':' + std::to_string(f.isSigned) + '=';
    out += std::to_string(f.integer) + '|' + std::string(f.text) + '|' +
           std::string(f.bytes.begin(), f.bytes.end()) + '|';
    if (f.id) id(*f.id);
    forEachEntry(f, [&](const PropertyEntry& e) {
      out += '[' + std::to_string(e.id) + ',' + std::to_string(e.flags) + ',' +
             std::to_string(e.access) + ',' + std::to_string(e.binary) + ',' +
             std::string(e.value) + ']';
    });
    out += ';';
  });
  return out;
}

bool sameTarget(const ObjID& a, const ObjID& b) {
  return a.isLong() == b.isLong() && a.shortId() == b.shortId() && a.longId() == b.longId();
}

// Whether writing the body must fail: a text that comes back longer than 255
// bytes (a zero byte read from the wire is written as two).
bool overlong(const CommandBody& body) {
  bool over = false;
  forEachField(body, [&](const Field& f) {
    over |= f.kind == FieldKind::kText && utfLength(f.text) > 255;
    over |= f.id && f.id->isLong() && utfLength(f.id->longId()) > 255;
    forEachEntry(f, [&](const PropertyEntry& e) { over |= !e.binary && utfLength(e.value) > 255; });
  });
  return over;
}

template <typename Body>
void checkFixed(const Element& e, const Incoming& in) {
  const std::optional<Body> b = readFixed<Body>(e.body);
  check(b && dump(*b) == dump(in.body));
  const auto bytes = fixedBody(*b);
  check(std::equal(bytes.begin(), bytes.end(), e.body.begin(), e.body.end()));
}

void checkFixed(const Element& e, const Incoming& in) {
  switch (static_cast<Command>(e.command)) {
    case Command::LongLoc: return checkFixed<LongLoc>(e, in);
    case Command::RoomChange: return checkFixed<RoomChange>(e, in);
    case Command::AppearActor: return checkFixed<AppearActor>(e, in);
    case Command::Subscribe: return checkFixed<Subscribe>(e, in);
    case Command::Teleport: return checkFixed<Teleport>(e, in);
    case Command::Unsubscribe: return checkFixed<Unsubscribe>(e, in);
    case Command::SubscribeDist: return checkFixed<SubscribeDist>(e, in);
    case Command::Disappear: return checkFixed<Disappear>(e, in);
    default: check(!fixedBodySize(e.command));
  }
}

// The target and the body written by the body writers read back the same.
void checkWritten(const Incoming& in) {
  Bytes target;
  const bool longText = in.target.isLong() && utfLength(in.target.longId()) > 255;
  try {
    appendTarget(target, in.target);
    const std::optional<IdView> id = IdView::at(target);
    const ObjID again = in.target.isLong() ? ObjID(in.target.longId()) : in.target;
    check(!longText && id && id->size() == target.size() && sameTarget(id->toObjID(), again));
  } catch (const WriteError&) {  // a zero byte read off the wire is written as two
    check(longText && target.empty());
  }
  Bytes body = {0xAA};
  try {
    appendBody(body, in.body);
  } catch (const WriteError&) {
    check(overlong(in.body) && body.size() == 1);
    return;
  }
  check(!overlong(in.body) && body.size() == 1 + bodySize(in.body));
  const std::span<const uint8_t> written = std::span<const uint8_t>(body).subspan(1);
  // Read back, each long id loses one leading "!" more, as normalise takes it from the original.
  check(dump(decodeBody(in.command, written)) == dump(in.body, true));
  check(measureBody(in.command, written) == written.size());
}

// The elements joined again into frames by appendElement come back the same,
// in frames of at most 255 bytes.
void checkJoined(const std::vector<Element>& elements) {
  Bytes joined;
  size_t frame = kNoFrame;
  for (const Element& e : elements) {
    frame = appendElement(joined, frame, e.target.bytes(), e.command, e.body);
    if (frame == kNoFrame) {  // only an element too big for any frame
      check(frameSize(e.target.size(), e.body.size()) + (e.target.shortId() == kObjCompound) > 255);
      return;
    }
  }
  size_t k = 0;
  for (size_t at = 0; at < joined.size(); at += joined[at]) {
    Elements back(FrameView::whole(std::span<const uint8_t>(joined).subspan(at, joined[at])));
    for (const Element& e : back) {
      check(k < elements.size() && e.command == elements[k].command &&
            std::ranges::equal(e.target.bytes(), elements[k].target.bytes()) &&
            std::ranges::equal(e.body, elements[k].body));
      ++k;
    }
    check(!back.malformed());
  }
  check(k == elements.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);  // exact size: one past the end is caught

  // The view's decode first, so that a difference shows whichever side throws.
  const FrameView view(input);
  Elements elements(view);
  std::vector<Element> taken;
  std::vector<Incoming> viaView;
  bool viewFailed = false;
  try {
    for (const Element& e : elements) {
      taken.push_back(e);
      viaView.push_back(decode(e));
    }
  } catch (const ReadError&) {
    viewFailed = true;
  }
  viewFailed |= elements.malformed();

  std::vector<Incoming> commands;
  try {
    commands = parsePacket(input);
  } catch (const ReadError&) {
    check(viewFailed);
    return 0;
  }
  check(!viewFailed && view.valid() && viaView.size() == commands.size());
  check(view.elementCount() == commands.size());
  if (input.size() < 255) {  // the same frame with its length byte in front
    std::vector<uint8_t> whole = {static_cast<uint8_t>(input.size() + 1)};
    whole.insert(whole.end(), input.begin(), input.end());
    const FrameView w = FrameView::whole(whole);
    check(w.valid() && w.length() == whole.size() && w.command() == view.command() &&
          w.body().size() == view.body().size() && w.target().size() == view.target().size());
  }

  checkJoined(taken);

  if (commands.empty()) std::abort();
  if (input[0] != kObjCompound && commands.size() != 1) std::abort();
  for (size_t i = 0; i < commands.size(); ++i) {
    const Incoming& in = commands[i];
    if (in.command != commands.front().command) std::abort();
    const std::string line = describe(in);
    const std::string head =
        std::string(commandName(in.command)) + " [" + in.target.describe() + "]";
    if (line.compare(0, head.size(), head) != 0) std::abort();
    // Only a Disappear has no body text; every other body text opens with a blank.
    const bool bare = std::holds_alternative<Disappear>(in.body);
    if (bare ? line.size() != head.size()
             : line.size() <= head.size() || line[head.size()] != ' ') {
      std::abort();
    }

    check(sameTarget(viaView[i].target, in.target) && viaView[i].command == in.command);
    check(dump(viaView[i].body) == dump(in.body));
    // The per-command table names the fields the parser's body has.
    size_t k = 0;
    const std::span<const FieldInfo> infos = fieldsOf(in.command);
    forEachField(in, [&](const Field& f) {
      check(k < infos.size() && std::string(infos[k].name) == f.name && infos[k].kind == f.kind);
      ++k;
    });
    check(k == infos.size() && std::string(commandId(in.command)).size() > 0);
    checkFixed(taken[i], in);
    checkWritten(in);
  }
  return 0;
}
