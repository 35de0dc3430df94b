#include "veltra/proto/property.hpp"

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

std::string label(uint8_t id) {
  const char* name = varName(id);
  return name ? std::string(name) : "VAR#" + std::to_string(id);
}

}  // namespace

bool Property::binary() const { return (flags & kPropFlagBinary) != 0; }

std::string OldPropertyList::describe() const {
  std::string out = "(";
  for (const OldProperty& p : props_) out += label(p.id) + "=" + p.value + " ";
  return out + ")";
}

std::string PropertyList::describe() const {
  std::string out = "(";
  for (const Property& p : props_) {
    out += label(p.id);
    out += p.binary() ? "=<" + std::to_string(p.value.size()) + " bytes>" : "=" + p.value;
    out += " ";
  }
  return out + ")";
}

}  // namespace veltra::proto
