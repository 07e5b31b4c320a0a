#include "kvdn/object.h"

#include <algorithm>

#include "kvdn/error.h"
#include "kvdn/page.h"

namespace kvdn {

Variant Object::invoke(std::string_view, std::vector<Variant>&) {
  raise(err::kNotSupported);
}
Variant Object::getProperty(std::string_view) {
  raise(err::kNotSupported);
}
void Object::setProperty(std::string_view, const Variant&) {
  raise(err::kNotSupported);
}
const MemberTable& Object::members() const noexcept {
  static constexpr MemberTable kNone("Object", {});
  return kNone;
}
std::vector<Variant> Object::enumerate() {
  raise(err::kNotSupported);
}

const Member* MemberTable::find(std::string_view name) const noexcept {
  if (name.empty()) return find(std::int32_t{0});
  for (const Member& m : members_) {
    if (iequals(m.name, name)) return &m;
  }
  return nullptr;
}

const Member* MemberTable::find(std::int32_t id) const noexcept {
  for (const Member& m : members_) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

const Member& bindMember(const MemberTable& table, std::string_view name, std::uint8_t kinds,
                         std::size_t argc) {
  const Member* m = table.find(name);
  if (!m || !(m->kinds & kinds)) raise(err::kNotSupported);
  if (argc < m->minArgs || argc > m->maxArgs) raise(err::kWrongArgCount);
  return *m;
}

namespace {
char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

bool iequals(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lowerAscii(c);
  return out;
}

std::string asciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = upperAscii(c);
  return out;
}

void ClassRegistry::add(std::string_view progId, Factory factory) {
  for (auto& [id, f] : entries_) {
    if (iequals(id, progId)) {
      f = std::move(factory);
      return;
    }
  }
  entries_.emplace_back(std::string(progId), std::move(factory));
}

bool ClassRegistry::contains(std::string_view progId) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const auto& e) { return iequals(e.first, progId); });
}

ObjectPtr ClassRegistry::create(std::string_view progId) const {
  for (const auto& [id, factory] : entries_) {
    if (iequals(id, progId)) return factory();
  }
  raise(err::kInvalidClassString);
}

}  // namespace kvdn
