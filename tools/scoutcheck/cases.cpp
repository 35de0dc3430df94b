#include "scoutcheck/cases.hpp"

#include <thread>

#include "scoutcheck/session.hpp"
#include "veltra/proto/requests.hpp"

namespace scoutcheck {

using namespace veltra::proto;
using namespace std::chrono_literals;

const char* levelName(Level level) { return level == Level::kMust ? "MUST" : "SHOULD"; }

const char* verdictName(Verdict v) {
  switch (v) {
    case Verdict::kPassed: return "passed";
    case Verdict::kFailed: return "failed";
    case Verdict::kNonStrict: return "passed-not-strictly";
    case Verdict::kSkipped: return "skipped";
  }
  return "?";
}

std::string Context::fresh(const std::string& tag) {
  return prefix + tag + std::to_string(next_++);
}

namespace {

using Match = std::function<bool(const Received&)>;

Match command(Command c) {
  return [c](const Received& r) { return r.in.command == static_cast<uint8_t>(c); };
}
// A command of code c about the actor `who`, as the session resolves its target.
Match about(Command c, const std::string& who) {
  return [c, who](const Received& r) {
    return r.in.command == static_cast<uint8_t>(c) && r.who == who;
  };
}
std::string describeFor(Command c, const std::string& who) {
  return std::string(commandName(static_cast<uint8_t>(c))) + " for " + who;
}

Bytes frame(Command c, ObjID target, const std::function<void(PacketWriter&)>& body) {
  PacketWriter w(target, c);
  body(w);
  return w.finish();
}
Bytes propSet(const std::string& avatar) {
  PropertyList p;
  p.add(kVarChannel, avatar);
  return buildPropertySet("", p);
}
Bytes move(int16_t x, int16_t y) { return buildLongLoc(ObjID(kObjClient), x, y, 0, 90); }
// The logout a client sends.
Bytes bye() {
  OldPropertyList p;
  p.add(kVarError, "0");
  return buildSessionExit(p);
}

// A session logged in under a fresh name.
struct Client : Session {
  Client(Context& c, const std::string& tag) : Session(c.server, c.timeout) { login(c.fresh(tag)); }
};

// ---- framing ----------------------------------------------------------------

void framingSplit(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  for (uint8_t b : buildPropRequest()) s.send({b}), std::this_thread::sleep_for(20ms);
  s.await(command(Command::PropertyUpdate), "PROPUPD answering a PROPREQ sent byte by byte");
}

void framingCompound(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room), actor.enter(room);
  viewer.await(about(Command::AppearActor, actor.name()), "APPRACTR for " + actor.name());
  actor.send([] {
    Bytes b;
    for (int16_t x : {1, 2, 3})
      for (uint8_t v : move(x, 7)) b.push_back(v);
    return b;
  }());
  for (int16_t x : {1, 2, 3}) {
    const Received r = viewer.await(about(Command::LongLoc, actor.name()),
                                    describeFor(Command::LongLoc, actor.name()));
    if (std::get<LongLoc>(r.in.body).x != x)
      throw Failure("the burst's moves in order, x = " + std::to_string(x), shown(r));
  }
}

void framingTarget(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  const auto check = [](const Received& r, uint8_t want, const char* what) {
    if (r.in.target.isLong() || r.in.target.shortId() != want)
      throw Failure(std::string(what) + " addressed to #" + std::to_string(want), shown(r));
  };
  s.send(buildPropRequest());
  check(s.await(command(Command::PropertyUpdate), "PROPUPD"), kObjProtocol, "PROPUPD");
  s.send(buildSessionInit(loginProperties(c.fresh("t"))));
  check(s.await(command(Command::SessionInit), "SESSINIT reply"), kObjClient, "SESSINIT reply");
  s.send(buildRoomIdRequest(c.fresh("room")));
  check(s.await(command(Command::RoomId), "ROOMID"), kObjClient, "ROOMID");
}

// ---- properties -------------------------------------------------------------

void propsAll(Context& c, Outcome&) { Session(c.server, c.timeout).sync(); }

void propsSelected(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  s.send(frame(Command::PropRequest, ObjID(kObjProtocol),
               [](PacketWriter& w) { w.u8(kVarProtocol); }));
  const Received r = s.await(command(Command::PropertyUpdate), "PROPUPD");
  for (const Property& p : std::get<PropertyUpdate>(r.in.body).props.all())
    if (p.id != kVarProtocol) throw Failure("PROPUPD holding VAR_PROTOCOL alone", shown(r));
}

// ---- login ------------------------------------------------------------------

void loginAccepted(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  const std::string err = s.tryLogin(c.fresh("u"));
  if (err != "0") throw Failure("SESSINIT reply with VAR_ERROR=0", "VAR_ERROR=" + err);
}

void loginUsername(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  const std::string name = c.fresh("u");
  s.send(buildSessionInit(loginProperties(name)));
  const Received r = s.await(command(Command::SessionInit), "SESSINIT reply");
  const OldPropertyList& p = std::get<SessionInit>(r.in.body).props;
  if (p.value(kVarError) != "0") throw Skip("login refused");
  if (p.value(kVarUsername) != name) throw Failure("VAR_USERNAME=" + name, shown(r));
}

void refused(Session& s, const std::string& name, const std::string& protocol) {
  const std::string err = s.tryLogin(name, protocol);
  if (err == "0" || err == "(none)")
    throw Failure("SESSINIT reply with a non-zero VAR_ERROR", "VAR_ERROR=" + err);
}
void loginRefusedProtocol(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  refused(s, c.fresh("p"), "23");
}
void loginRefusedNoName(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  refused(s, "", "24");
}
void loginRefusedInUse(Context& c, Outcome&) {
  Client first(c, "n");
  Session second(c.server, c.timeout);
  refused(second, first.name(), "24");
}

// ---- rooms ------------------------------------------------------------------

uint16_t number(Session& s, const std::string& room) {
  s.send(buildRoomIdRequest(room));
  const Received r = s.await(command(Command::RoomId), "ROOMID for \"" + room + "\"");
  const RoomId& id = std::get<RoomId>(r.in.body);
  if (id.roomName != room || id.roomNumber == 0)
    throw Failure("ROOMID \"" + room + "\" with a non-zero number", shown(r));
  return id.roomNumber;
}

void roomsNumber(Context& c, Outcome&) {
  Client s(c, "r");
  number(s, c.fresh("room"));
}

void roomsStable(Context& c, Outcome&) {
  Client a(c, "r"), b(c, "r");
  const std::string one = c.fresh("room"), two = c.fresh("room");
  const uint16_t n = number(a, one), again = number(b, one), other = number(b, two);
  if (n != again || number(a, one) != n)
    throw Failure("one number for \"" + one + "\"",
                  std::to_string(n) + ", then " + std::to_string(again));
  if (other == n) throw Failure("two numbers for two rooms", "both " + std::to_string(n));
}

// ---- visibility -------------------------------------------------------------

Received appears(Session& viewer, const Session& actor, uint16_t room) {
  const Received r = viewer.await(about(Command::AppearActor, actor.name()),
                                  describeFor(Command::AppearActor, actor.name()));
  if (std::get<AppearActor>(r.in.body).room != room)
    throw Failure("APPRACTR in room " + std::to_string(room), shown(r));
  return r;
}

void visAppear(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  appears(viewer, actor, actor.enter(room));
}

void visExisting(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  const uint16_t n = actor.enter(room);
  viewer.enter(room);
  appears(viewer, actor, n);
}

void visSubscribe(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  const uint16_t n = viewer.roomNumber(room);
  viewer.send(buildSubscribe(n, 0, 0, 0, 900));
  viewer.enter(c.fresh("room"));
  actor.enter(room);
  appears(viewer, actor, n);
}

Received avatarOf(Session& viewer, const Session& actor, const std::string& avatar) {
  const Received r = viewer.await(about(Command::PropertyUpdate, actor.name()),
                                  describeFor(Command::PropertyUpdate, actor.name()));
  if (std::get<PropertyUpdate>(r.in.body).props.value(kVarChannel) != avatar)
    throw Failure("PROPUPD with VAR_CHANNEL/BITMAP=" + avatar, shown(r));
  return r;
}

void visProps(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  actor.send(propSet("first"));
  appears(viewer, actor, actor.enter(room));
  avatarOf(viewer, actor, "first");
}

void visPropsUpdate(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  appears(viewer, actor, actor.enter(room));
  actor.send(propSet("second"));
  avatarOf(viewer, actor, "second");
}

// The viewer has seen the actor; `leave` makes it go.
void goes(Context& c, const std::function<void(Session&)>& leave) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  const uint16_t n = actor.enter(room);
  appears(viewer, actor, n);
  leave(actor);
  const std::string name = actor.name();
  viewer.await(
      [&](const Received& r) {
        if (r.who != name) return false;
        const auto* a = std::get_if<AppearActor>(&r.in.body);
        return std::holds_alternative<Disappear>(r.in.body) || (a && a->room != n);
      },
      "DISAPPR for " + name);
}

void visLeaveRoom(Context& c, Outcome&) {
  goes(c, [&](Session& a) { a.enter(c.fresh("room")); });
}
void visDisappear(Context& c, Outcome&) {
  goes(c, [](Session& a) { a.send(bye()); });
}
void visDrop(Context& c, Outcome&) {
  goes(c, [](Session& a) { a.reset(); });
}

// ---- movement ---------------------------------------------------------------

void moveRelay(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  appears(viewer, actor, actor.enter(room));
  actor.send(move(321, -45));
  const Received r = viewer.await(about(Command::LongLoc, actor.name()),
                                  describeFor(Command::LongLoc, actor.name()));
  const LongLoc& m = std::get<LongLoc>(r.in.body);
  if (m.x != 321 || m.y != -45 || m.z != 0 || m.dir != 90)
    throw Failure("LONGLOC @321,-45,0 dir=90", shown(r));
}

void moveNotToMover(Context& c, Outcome&) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  appears(viewer, actor, actor.enter(room));
  actor.send(move(500, 500));
  viewer.await(about(Command::LongLoc, actor.name()), "the move relayed to the viewer");
  actor.sync();  // what the mover was sent before the reply
  for (const Received& r : actor.inbox())
    if (r.in.command == static_cast<uint8_t>(Command::LongLoc) ||
        r.in.command == static_cast<uint8_t>(Command::ShortLoc))
      throw Failure("no move relayed back to the mover", shown(r));
}

// ---- chat -------------------------------------------------------------------

void said(Context& c, const std::string& text) {
  Client viewer(c, "v"), actor(c, "a");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  appears(viewer, actor, actor.enter(room));
  actor.send(buildText("", text));
  const std::string name = actor.name();
  const Received r = viewer.await(
      [&](const Received& x) { return std::holds_alternative<Text>(x.in.body) && x.from == name; },
      "TEXT from " + name);
  if (std::get<Text>(r.in.body).text != text) throw Failure("TEXT \"" + text + "\"", shown(r));
}

void chatRelay(Context& c, Outcome&) { said(c, "hello, room"); }
void chatUnicode(Context& c, Outcome&) { said(c, "caf\u00e9 \u20ac \U0001F600"); }

// ---- object ids -------------------------------------------------------------

void idsAnnounced(Context& c, Outcome&) {
  Client viewer(c, "v"), a(c, "a"), b(c, "b"), d(c, "d");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  for (Session* s : {&a, &b, &d}) appears(viewer, *s, s->enter(room));
  for (Session* s : {&a, &b, &d}) s->send(move(1, 1));
  for (Session* s : {&a, &b, &d})
    viewer.await(about(Command::LongLoc, s->name()), describeFor(Command::LongLoc, s->name()));
}

void idsReuse(Context& c, Outcome&) {
  Client viewer(c, "v"), first(c, "a"), second(c, "b");
  const std::string room = c.fresh("room");
  viewer.enter(room);
  appears(viewer, first, first.enter(room));
  first.send(bye());
  viewer.await(about(Command::Disappear, first.name()), "DISAPPR for " + first.name());
  appears(viewer, second, second.enter(room));
  second.send(move(9, 9));
  viewer.await(about(Command::LongLoc, second.name()),
               describeFor(Command::LongLoc, second.name()));
}

// ---- logout -----------------------------------------------------------------

void logoutReply(Context& c, Outcome&) {
  Client s(c, "x");
  s.send(bye());
  const Received r = s.await(command(Command::SessionExit), "SESSEXIT reply");
  if (std::get<SessionExit>(r.in.body).props.value(kVarError) != "0")
    throw Failure("SESSEXIT reply with VAR_ERROR=0", shown(r));
}

void logoutNameFree(Context& c, Outcome&) {
  std::string name;
  {
    Client s(c, "x");
    name = s.name();
    s.send(bye());
    s.awaitClose();
  }
  Session again(c.server, c.timeout);
  const std::string err = again.tryLogin(name);
  if (err != "0") throw Failure("login as " + name + " accepted again", "VAR_ERROR=" + err);
}

// ---- robustness -------------------------------------------------------------

// After `bad`, the connection either answers the next request or is closed.
// `closing` is the verdict when it is closed.
void answersOrCloses(Session& s, const Bytes& bad, Verdict closing, Outcome& o) {
  try {
    s.send(bad);
    s.sync();
  } catch (const Closed& e) {
    o.verdict = closing;
    o.expected = "the next request answered";
    o.got = "the server closed the connection";
  }
}

void robustLength(Context& c, Outcome& o) {
  Session s(c.server, c.timeout);
  answersOrCloses(s, {1}, Verdict::kPassed, o);
}

void robustTruncated(Context& c, Outcome& o) {
  Client s(c, "t");
  s.enter(c.fresh("room"));
  Bytes cut = move(1, 2);
  cut.pop_back();
  cut[0] = static_cast<uint8_t>(cut.size());
  answersOrCloses(s, cut, Verdict::kPassed, o);
}

void robustCut(Context& c, Outcome&) {
  Client s(c, "t");
  Bytes part = buildRoomIdRequest(c.fresh("room"));
  part.resize(part.size() / 2);
  s.send(part);
  s.shutWrite();
}

void robustUnknown(Context& c, Outcome& o) {
  Client s(c, "t");
  answersOrCloses(
      s, frame(static_cast<Command>(99), ObjID(kObjClient), [](PacketWriter& w) { w.u8(1); }),
      Verdict::kNonStrict, o);
}

void robustOverrun(Context& c, Outcome& o) {
  Client s(c, "t");
  answersOrCloses(s,
                  frame(Command::RoomIdRequest, ObjID(kObjClient),
                        [](PacketWriter& w) { w.u8(200), w.raw("short"); }),
                  Verdict::kPassed, o);
}

void robustLongString(Context& c, Outcome& o) {
  Client s(c, "t");
  try {
    s.send(buildRoomIdRequest(std::string(250, 'r')));
    s.await(command(Command::RoomId), "ROOMID answering a 250-byte room name");
  } catch (const Closed&) {
    o = {Verdict::kNonStrict, "a ROOMID (number 0 will do)", "the server closed the connection"};
  }
}

void robustBeforeLogin(Context& c, Outcome& o) {
  Session s(c.server, c.timeout);
  Bytes burst = buildSubscribe(1, 0, 0, 0, 900);
  for (const Bytes& b : {buildTeleport(1, 0, 1, 0, 0, 0, 0), move(5, 5), buildText("", "hi")})
    burst.insert(burst.end(), b.begin(), b.end());
  answersOrCloses(s, burst, Verdict::kPassed, o);
}

void robustPipelined(Context& c, Outcome&) {
  Session s(c.server, c.timeout);
  const std::string name = c.fresh("p");
  std::vector<std::string> rooms;
  Bytes burst = buildPropRequest();
  const Bytes login = buildSessionInit(loginProperties(name));
  burst.insert(burst.end(), login.begin(), login.end());
  for (int i = 0; i < 20; ++i) {
    rooms.push_back(c.fresh("room"));
    const Bytes rq = buildRoomIdRequest(rooms.back());
    burst.insert(burst.end(), rq.begin(), rq.end());
  }
  s.send(burst);
  s.await(command(Command::PropertyUpdate), "PROPUPD");
  s.await(command(Command::SessionInit), "SESSINIT reply");
  for (const std::string& room : rooms) {
    const Received r = s.await(command(Command::RoomId), "ROOMID for " + room);
    if (std::get<RoomId>(r.in.body).roomName != room)
      throw Failure("the ROOMIDs in request order, next \"" + room + "\"", shown(r));
  }
}

void robustHalfClose(Context& c, Outcome& o) {
  Client s(c, "h");
  const std::string room = c.fresh("room");
  s.send(buildRoomIdRequest(room));
  s.shutWrite();
  try {
    s.await(command(Command::RoomId), "ROOMID");
  } catch (const Closed&) {
    o = {Verdict::kNonStrict, "the ROOMID sent before the half-close",
         "the server closed the connection unanswered"};
  }
}

void robustReset(Context& c, Outcome&) {
  Client s(c, "r");
  s.enter(c.fresh("room"));
  Bytes part = move(3, 3);
  part.resize(4);
  s.send(part);
  s.reset();
}

// Ids group their cases; within a group the order is the protocol's.
const Case kCases[] = {
    {"framing/split", "framing", Level::kMust, false,
     "a PROPREQ sent a byte at a time is answered: frames rest on the length byte, not on segments",
     framingSplit},
    {"framing/compound", "framing", Level::kMust, false,
     "three moves sent at once reach a viewer in frames that decode, compound (target 254) or "
     "plain, in order",
     framingCompound},
    {"framing/target", "framing", Level::kShould, false,
     "replies carry the targets of their layouts: PROPUPD the protocol (255), SESSINIT and ROOMID "
     "the client (1)",
     framingTarget},
    {"props/all", "props", Level::kMust, false,
     "PROPREQ to the protocol object is answered with PROPUPD: every client's first exchange",
     propsAll},
    {"props/selected", "props", Level::kShould, false,
     "PROPREQ naming VAR_PROTOCOL is answered with a PROPUPD holding no other property",
     propsSelected},
    {"login/accepted", "login", Level::kMust, false,
     "SESSINIT with protocol 24 and a fresh name gets the SESSINIT reply with VAR_ERROR 0 a client "
     "awaits",
     loginAccepted},
    {"login/username", "login", Level::kShould, false,
     "the accepted SESSINIT reply names the user (VAR_USERNAME)", loginUsername},
    {"login/refused-protocol", "login", Level::kMust, false,
     "SESSINIT announcing protocol 23 gets a SESSINIT reply with a non-zero VAR_ERROR",
     loginRefusedProtocol},
    {"login/refused-noname", "login", Level::kMust, false,
     "SESSINIT with an empty user name gets a SESSINIT reply with a non-zero VAR_ERROR",
     loginRefusedNoName},
    {"login/refused-inuse", "login", Level::kMust, false,
     "SESSINIT with a name logged in elsewhere gets a SESSINIT reply with a non-zero VAR_ERROR",
     loginRefusedInUse},
    {"rooms/number", "rooms", Level::kMust, false,
     "ROOMIDRQ gets a ROOMID with the name asked for and a non-zero number, what SUBSCRIB and "
     "TELEPORT take",
     roomsNumber},
    {"rooms/stable", "rooms", Level::kMust, false,
     "a room name has one number on every connection and two names two: clients meet by name",
     roomsStable},
    {"visibility/appear", "visibility", Level::kMust, false,
     "a TELEPORT into a room shows the actor to those there: APPRACTR with the room, by a "
     "resolvable id",
     visAppear},
    {"visibility/existing", "visibility", Level::kMust, false,
     "a TELEPORT into a room shows the newcomer the actors already there (APPRACTR)", visExisting},
    {"visibility/subscribe", "visibility", Level::kMust, false,
     "a client subscribed to a room (SUBSCRIB) it is not in is shown an actor entering it",
     visSubscribe},
    {"visibility/props", "visibility", Level::kMust, false,
     "an actor's avatar (PROPSET) follows its APPRACTR as a PROPUPD addressed to it", visProps},
    {"visibility/props-update", "visibility", Level::kShould, false,
     "an avatar changed while in sight reaches the viewer as a PROPUPD addressed to the actor",
     visPropsUpdate},
    {"visibility/leave-room", "visibility", Level::kMust, false,
     "an actor leaving for a room the viewer does not watch goes: DISAPPR (or APPRACTR elsewhere)",
     visLeaveRoom},
    {"visibility/disappear", "visibility", Level::kMust, false,
     "an actor's SESSEXIT reaches its viewers as DISAPPR", visDisappear},
    {"visibility/drop", "visibility", Level::kMust, false,
     "an actor whose connection ends without SESSEXIT reaches its viewers as DISAPPR", visDrop},
    {"move/relay", "move", Level::kMust, false,
     "a LONGLOC reaches a viewer as LONGLOC with its position, addressed to the mover's id",
     moveRelay},
    {"move/not-to-mover", "move", Level::kMust, false,
     "no move comes back to its mover, who would take its own id for another actor",
     moveNotToMover},
    {"chat/relay", "chat", Level::kMust, false,
     "a TEXT reaches the room as TEXT with the sender's name (long or announced id) and its text",
     chatRelay},
    {"chat/unicode", "chat", Level::kMust, false,
     "text beyond ASCII (U+00E9, U+20AC, U+1F600) arrives unchanged: strings are modified UTF-8",
     chatUnicode},
    {"ids/announced", "ids", Level::kMust, false,
     "short ids are announced (REGOBJID) before use and distinct while in sight; every frame of "
     "every case is checked",
     idsAnnounced},
    {"ids/reuse", "ids", Level::kMust, false,
     "an id released with DISAPPR names another actor only once announced again (REGOBJID)",
     idsReuse},
    {"logout/reply", "logout", Level::kShould, false,
     "SESSEXIT gets a SESSEXIT reply with VAR_ERROR 0", logoutReply},
    {"logout/name-free", "logout", Level::kMust, false,
     "a name is free again after SESSEXIT: a client that comes back is not locked out",
     logoutNameFree},
    {"robust/length", "robust", Level::kMust, true,
     "a length byte below 3 (the frame's smallest) is answered by closing, or ignored",
     robustLength},
    {"robust/truncated", "robust", Level::kMust, true,
     "a LONGLOC one byte short of its layout is ignored or the connection closed", robustTruncated},
    {"robust/cut", "robust", Level::kMust, true,
     "a frame cut off by the end of the connection (FIN mid-frame) harms nothing else", robustCut},
    {"robust/unknown", "robust", Level::kMust, true,
     "a command of unknown code 99 is skipped and the next request answered (closing: not strict)",
     robustUnknown},
    {"robust/overrun", "robust", Level::kMust, true,
     "a ROOMIDRQ whose string length byte overruns the frame is ignored or the connection closed",
     robustOverrun},
    {"robust/long-string", "robust", Level::kMust, true,
     "a ROOMIDRQ with a 250-byte name, the most a frame holds, gets a ROOMID that decodes",
     robustLongString},
    {"robust/before-login", "robust", Level::kMust, true,
     "SUBSCRIB, TELEPORT, LONGLOC and TEXT before SESSINIT are ignored or the connection closed",
     robustBeforeLogin},
    {"robust/pipelined", "robust", Level::kMust, true,
     "22 requests sent before any reply is read (PROPREQ, SESSINIT, ROOMIDRQs) are all answered, "
     "in order",
     robustPipelined},
    {"robust/half-close", "robust", Level::kMust, true,
     "a request sent before a half-close (FIN) is still answered (closing unanswered: not strict)",
     robustHalfClose},
    {"robust/reset", "robust", Level::kMust, true,
     "a client in a room resetting its connection mid-frame harms nothing else", robustReset},
};

// A fresh connection is served: PROPREQ answered, a login accepted.
void healthy(Context& c) {
  Session s(c.server, c.timeout);
  s.sync();
  if (const std::string err = s.tryLogin(c.fresh("ok")); err != "0")
    throw Failure("a login accepted", "VAR_ERROR=" + err);
}

}  // namespace

std::span<const Case> cases() { return kCases; }

Outcome runCase(const Case& k, Context& ctx) {
  Outcome o;
  try {
    k.run(ctx, o);
  } catch (const Skip& s) {
    return {Verdict::kSkipped, "", s.what()};
  } catch (const Failure& f) {
    o = {Verdict::kFailed, f.what(), f.got};
  } catch (const std::exception& e) {  // a value the library cannot encode: the case's own fault
    o = {Verdict::kFailed, "the case to run", e.what()};
  }
  if (!k.robustness) return o;
  try {
    healthy(ctx);
  } catch (const Failure& f) {
    o = {Verdict::kFailed, std::string("afterwards, a fresh connection served: ") + f.what(),
         f.got.empty() ? "nothing" : f.got};
  }
  return o;
}

}  // namespace scoutcheck
