#include "kvdn/object.h"

#include <algorithm>

#include "kvdn/error.h"
#include "kvdn/page.h"
#include "text_scan.h"

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

bool containsAnyAsciiNoCase(std::string_view text,
                            std::initializer_list<std::string_view> lowerWords) noexcept {
  // Which bytes may start a word, so that most positions cost one lookup.
  bool starts[256] = {};
  for (std::string_view w : lowerWords) {
    if (w.empty()) return true;
    starts[static_cast<unsigned char>(w.front())] = true;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = lowerAscii(text[i]);
    if (!starts[static_cast<unsigned char>(c)]) continue;
    const std::string_view rest = text.substr(i);
    for (std::string_view w : lowerWords) {
      if (w.front() != c || rest.size() < w.size()) continue;
      if (std::equal(w.begin() + 1, w.end(), rest.begin() + 1,
                     [](char x, char y) { return x == lowerAscii(y); }))
        return true;
    }
  }
  return false;
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
