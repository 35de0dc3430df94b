#include "veltra/proto/property.hpp"

#include <charconv>

#include "proto/property_io.hpp"

namespace veltra::proto {

namespace {

// Display names; some do not follow the constants' spelling (VAR_NEW_PASSWD,
// VAR_CHANNEL/BITMAP), which is what logs of this protocol have always shown.
const char* varName(uint8_t id) {
  switch (id) {
    case kVarAppName: return "VAR_APPNAME";
    case kVarUsername: return "VAR_USERNAME";
    case kVarProtocol: return "VAR_PROTOCOL";
    case kVarError: return "VAR_ERROR";
    case kVarChannel: return "VAR_CHANNEL/BITMAP";
    case kVarPassword: return "VAR_PASSWORD";
    case kVarAvatars: return "VAR_AVATARS";
    case kVarUpdateTime: return "VAR_UPDATETIME";
    case kVarClient: return "VAR_CLIENT";
    case kVarSerial: return "VAR_SERIAL";
    case kVarEmail: return "VAR_EMAIL";
    case kVarLogOnOff: return "VAR_LOGONOFF";
    case kVarDuration: return "VAR_DURATION";
    case kVarGuest: return "VAR_GUEST";
    case kVarServerType: return "VAR_SERVERTYPE";
    case kVarBizCard: return "VAR_BIZCARD";
    case kVarNewPassword: return "VAR_NEW_PASSWD";
    case kVarPriv: return "VAR_PRIV";
    case kVarAsleep: return "VAR_ASLEEP";
    case kVarExternalHttpServer: return "VAR_EXTERNAL_HTTP_SERVER";
    case kVarScriptServer: return "VAR_SCRIPT_SERVER";
    case kVarSmtpServer: return "VAR_SMTP_SERVER";
    case kVarMailDomain: return "VAR_MAIL_DOMAIN";
    case kVarNewUsername: return "VAR_NEW_USERNAME";
    case kVarInternalHttpServer: return "VAR_INTERNAL_HTTP_SERVER";
    case kVarInventory: return "VAR_INVENTORY";
    default: return nullptr;  // kVarCapabilities included: it has no display name
  }
}

// label(id): the display name, or "VAR#" and the id in decimal, appended.
void appendLabel(std::string& out, uint8_t id) {
  if (const char* name = varName(id)) {
    out += name;
    return;
  }
  char digits[3];
  const char* end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  out += "VAR#";
  for (const char* d = digits; d != end; ++d) out.push_back(*d);
}

// The longest label, "VAR_EXTERNAL_HTTP_SERVER", with its "=" and its space.
constexpr size_t kEntryText = 26;

}  // namespace

namespace detail {

size_t describedSize(const OldPropertyList& props) {
  size_t size = 2;
  for (const OldProperty& p : props.all()) size += kEntryText + p.value.size();
  return size;
}

// A binary value shows as "<N bytes>": at most 12 bytes.
size_t describedSize(const PropertyList& props) {
  size_t size = 2;
  for (const Property& p : props.all()) size += kEntryText + (p.binary() ? 12 : p.value.size());
  return size;
}

}  // namespace detail

std::string propertyLabel(uint8_t id) {
  std::string out;
  appendLabel(out, id);
  return out;
}

const char* propertyName(uint8_t id) {
  switch (id) {
    case kVarAppName: return "app_name";
    case kVarUsername: return "username";
    case kVarProtocol: return "protocol";
    case kVarError: return "error";
    case kVarChannel: return "channel";
    case kVarPassword: return "password";
    case kVarAvatars: return "avatars";
    case kVarUpdateTime: return "update_time";
    case kVarClient: return "client";
    case kVarSerial: return "serial";
    case kVarEmail: return "email";
    case kVarLogOnOff: return "log_on_off";
    case kVarDuration: return "duration";
    case kVarGuest: return "guest";
    case kVarServerType: return "server_type";
    case kVarBizCard: return "biz_card";
    case kVarNewPassword: return "new_password";
    case kVarPriv: return "priv";
    case kVarAsleep: return "asleep";
    case kVarExternalHttpServer: return "external_http_server";
    case kVarScriptServer: return "script_server";
    case kVarSmtpServer: return "smtp_server";
    case kVarMailDomain: return "mail_domain";
    case kVarNewUsername: return "new_username";
    case kVarInternalHttpServer: return "internal_http_server";
    case kVarInventory: return "inventory";
    case kVarCapabilities: return "capabilities";
    default: return nullptr;
  }
}

bool Property::binary() const { return (flags & kPropFlagBinary) != 0; }

std::string OldPropertyList::describe() const {
  std::string out;
  out.reserve(detail::describedSize(*this));
  out += '(';
  for (const OldProperty& p : props_) {
    appendLabel(out, p.id);
    out += '=';
    out += p.value;
    out += ' ';
  }
  out += ')';
  return out;
}

std::string PropertyList::describe() const {
  std::string out;
  out.reserve(detail::describedSize(*this));
  out += '(';
  for (const Property& p : props_) {
    appendLabel(out, p.id);
    if (p.binary()) {  // the size, never the bytes: "=<N bytes>"
      char digits[24];
      const char* end = std::to_chars(digits, digits + sizeof digits, p.value.size()).ptr;
      out += "=<";
      for (const char* d = digits; d != end; ++d) out.push_back(*d);
      out += " bytes>";
    } else {
      out += '=';
      out += p.value;
    }
    out += ' ';
  }
  out += ')';
  return out;
}

}  // namespace veltra::proto
