// Page helpers shared by the renderers and writers: display-width shortening,
// script alerts that end the response, and the same-site referrer check.
#include <cstddef>
#include <string>
#include <string_view>

#include "kvdn/db_class.h"
#include "kvdn/text.h"

namespace kvdn {

namespace {

// The text goes between single quotes in a script: escape what could end the
// literal, the line, or (with "</") the script element itself.
std::string escapeScriptString(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 16);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\'':
        out += "\\'";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '<':
        out += (i + 1 < s.size() && s[i + 1] == '/') ? "<\\" : "<";
        break;
      case '\xE2':
        // U+2028 and U+2029 (E2 80 A8 / E2 80 A9) end a line in script.
        if (i + 2 < s.size() && s[i + 1] == '\x80' && (s[i + 2] == '\xA8' || s[i + 2] == '\xA9')) {
          out += s[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
          i += 2;
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool isSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

}  // namespace

Variant DbClass::getLenTitle(Variant str, Variant strlen) {
  if (str.isEmpty() || (str.isString() && str.str().empty())) return Variant(std::string());
  const std::string full = str.toString();  // Null raises 94
  const std::int32_t limit = strlen.toInt32();

  const std::u16string units = toUtf16(full);
  std::size_t keep = units.size();
  std::int64_t total = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    total += ansiWidth(units[i]);
    if (total >= limit) {
      keep = i + 1;
      break;
    }
  }
  // A cut between the halves of a surrogate pair would leave half a
  // character: keep the pair whole, as a double-width character is kept.
  if (keep < units.size() && units[keep - 1] >= 0xD800 && units[keep - 1] <= 0xDBFF &&
      units[keep] >= 0xDC00 && units[keep] <= 0xDFFF) {
    ++keep;
  }
  if (keep == units.size()) return Variant(full);

  titleAttr_ = Variant(" title=\"" + htmlEscape(full, false) + "\" ");
  return Variant(toUtf8(std::u16string_view(units).substr(0, keep)) + "\u2026");
}

void DbClass::alert(const Variant& msg, const Variant& url) {
  Response& out = response();
  const std::string target = url.joinText();
  std::string script = "<script>alert('" + escapeScriptString(msg.joinText()) + "');";
  // Null is not the empty text: like any other address it is written out.
  if (target.empty() && !url.isNull()) {
    script += "history.go(-1);";
  } else {
    script += "this.location.href='" + escapeScriptString(target) + "'";
  }
  script += "</script>";
  out.write(script);
  out.end();
}

// The referrer's host (with its port) against the host the request was sent
// to. Anything that is not "scheme://host..." is another site: False.
Variant DbClass::fromHostRight() {
  const Request& req = request();
  const std::string referrer = req.serverVariable("HTTP_REFERER");
  const std::size_t sep = referrer.find("://");
  if (sep == std::string::npos || sep == 0) return Variant(false);
  const char first = referrer[0];
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'))) return Variant(false);
  for (std::size_t i = 1; i < sep; ++i) {
    if (!isSchemeChar(referrer[i])) return Variant(false);
  }
  const std::size_t start = sep + 3;
  const std::size_t stop = referrer.find_first_of("/?#", start);
  const std::string host =
      referrer.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
  if (host.empty()) return Variant(false);
  return Variant(asciiLower(req.serverVariable("HTTP_HOST")) == asciiLower(host));
}

}  // namespace kvdn
