// Property lists: ordered entries tagged with a one-byte property id.
//
// Two generations exist side by side. Old-style entries hold an id and a text;
// new-style entries add a flags byte and an access byte, and hold raw bytes
// instead of text when kPropFlagBinary is set. Ids may repeat; entries keep
// the order in which they were added (which is also their wire order), and
// lookups return the first entry with the id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "veltra/proto/constants.hpp"

namespace veltra::proto {

struct OldProperty {
  uint8_t id = 0;
  std::string value;  // UTF-8
};

struct Property {
  uint8_t id = 0;
  uint8_t flags = 0;   // kPropFlag... bits
  uint8_t access = 0;  // carried unchanged, never interpreted
  std::string value;   // UTF-8, or raw bytes when binary()

  // Only the kPropFlagBinary bit decides.
  bool binary() const;
};

class OldPropertyList {
 public:
  // Appends; never replaces an entry with the same id.
  void add(uint8_t id, std::string value) { props_.push_back({id, std::move(value)}); }

  // The first entry with this id, or null. Valid until the list changes.
  const OldProperty* find(uint8_t id) const {
    for (const auto& p : props_)
      if (p.id == id) return &p;
    return nullptr;
  }

  // A copy of find(id)'s value; empty when there is no such entry.
  std::optional<std::string> value(uint8_t id) const {
    const OldProperty* p = find(id);
    return p ? std::optional<std::string>(p->value) : std::nullopt;
  }

  // Room for n entries, so that adding up to n never reallocates.
  void reserve(size_t n) { props_.reserve(n); }

  const std::vector<OldProperty>& all() const { return props_; }
  bool empty() const { return props_.empty(); }

  // "(LABEL=value LABEL=value )"; "()" when empty. Values are copied as they are.
  std::string describe() const;

 private:
  std::vector<OldProperty> props_;
};

class PropertyList {
 public:
  // Appends; note the argument order (id, value, flags, access).
  void add(uint8_t id, std::string value, uint8_t flags = 0, uint8_t access = 0) {
    props_.push_back({id, flags, access, std::move(value)});
  }

  const Property* find(uint8_t id) const {
    for (const auto& p : props_)
      if (p.id == id) return &p;
    return nullptr;
  }

  std::optional<std::string> value(uint8_t id) const {
    const Property* p = find(id);
    return p ? std::optional<std::string>(p->value) : std::nullopt;
  }

  // Room for n entries, so that adding up to n never reallocates.
  void reserve(size_t n) { props_.reserve(n); }

  const std::vector<Property>& all() const { return props_; }
  bool empty() const { return props_.empty(); }

  // As OldPropertyList::describe, but a binary value shows as "=<N bytes>".
  std::string describe() const;

 private:
  std::vector<Property> props_;
};

// The label descriptions show for a property id: "VAR_USERNAME", or "VAR#"
// and the id in decimal for ids without a display name ("VAR#64").
std::string propertyLabel(uint8_t id);

// The stable snake_case name of a property id for machine-readable output
// ("username", "app_name", "capabilities"), or null for ids without one.
// Static storage; the names never change.
const char* propertyName(uint8_t id);

}  // namespace veltra::proto
