// The iconv stand-in of compat/iconv.h over MultiByteToWideChar; see there
// for the contract.
#define KVDN_WIN32_ICONV_IMPLEMENTATION
#include "compat/iconv.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

struct kvdn_iconv {
  unsigned codePage;
};

namespace {

constexpr unsigned kUtf16Le = 1200;
constexpr unsigned kAscii = 20127;

bool iequalsAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// The code page of an iconv name FreeXL uses ("CP936", "UTF-16LE",
// "ASCII", "MacRoman"); 0 for anything else.
unsigned codePageOf(std::string_view name) {
  if (iequalsAscii(name, "UTF-16LE")) return kUtf16Le;
  if (iequalsAscii(name, "ASCII")) return kAscii;
  if (iequalsAscii(name, "MacRoman")) return 10000;
  if (name.size() > 2 && iequalsAscii(name.substr(0, 2), "CP")) {
    unsigned value = 0;
    for (char c : name.substr(2)) {
      if (c < '0' || c > '9' || value > 100000) return 0;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
  }
  return 0;
}

// Appends the UTF-8 form of `units`; false on an unpaired surrogate (glibc
// refuses those too).
bool appendUtf8(const wchar_t* units, std::size_t count, std::string& out) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(units[i]);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= count) return false;
      const std::uint32_t low = static_cast<std::uint16_t>(units[i + 1]);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

// The UTF-8 form of `bytes` in code page `cp`; false (errno set) when they
// are not text of that code page.
bool toUtf8(unsigned cp, const char* bytes, std::size_t size, std::string& out) {
  out.clear();
  if (size == 0) return true;
  if (cp == kAscii) {
    for (std::size_t i = 0; i < size; ++i) {
      if (static_cast<unsigned char>(bytes[i]) >= 0x80) {
        errno = EILSEQ;
        return false;
      }
    }
    out.assign(bytes, size);
    return true;
  }
  if (cp == kUtf16Le) {
    if (size % 2 != 0) {
      errno = EINVAL;
      return false;
    }
    std::vector<wchar_t> units(size / 2);
    std::memcpy(units.data(), bytes, size);
    if (!appendUtf8(units.data(), units.size(), out)) {
      errno = EILSEQ;
      return false;
    }
    return true;
  }
  if (size > 0x7FFFFFFF) {
    errno = E2BIG;
    return false;
  }
  const int length = static_cast<int>(size);
  const int wide = ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes, length, nullptr, 0);
  if (wide <= 0) {
    errno = EILSEQ;
    return false;
  }
  std::vector<wchar_t> units(static_cast<std::size_t>(wide));
  if (::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes, length, units.data(), wide) != wide ||
      !appendUtf8(units.data(), units.size(), out)) {
    errno = EILSEQ;
    return false;
  }
  return true;
}

}  // namespace

extern "C" iconv_t iconv_open(const char* to, const char* from) {
  if (!to || !from || !iequalsAscii(to, "UTF-8")) {
    errno = EINVAL;
    return reinterpret_cast<iconv_t>(-1);
  }
  const unsigned cp = codePageOf(from);
  if (cp == 0 || (cp != kUtf16Le && cp != kAscii && !::IsValidCodePage(cp))) {
    errno = EINVAL;
    return reinterpret_cast<iconv_t>(-1);
  }
  auto* cd = new (std::nothrow) kvdn_iconv{cp};
  if (!cd) {
    errno = ENOMEM;
    return reinterpret_cast<iconv_t>(-1);
  }
  return cd;
}

extern "C" size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft) {
  if (!cd || cd == reinterpret_cast<iconv_t>(-1)) {
    errno = EBADF;
    return static_cast<size_t>(-1);
  }
  // No input: a reset of the (absent) shift state.
  if (!in || !*in || !inLeft) return 0;
  if (!out || !*out || !outLeft) {
    errno = E2BIG;
    return static_cast<size_t>(-1);
  }
  try {
    std::string utf8;
    if (!toUtf8(cd->codePage, *in, *inLeft, utf8)) return static_cast<size_t>(-1);
    if (utf8.size() > *outLeft) {
      errno = E2BIG;
      return static_cast<size_t>(-1);
    }
    std::memcpy(*out, utf8.data(), utf8.size());
    *in += *inLeft;
    *inLeft = 0;
    *out += utf8.size();
    *outLeft -= utf8.size();
    return 0;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return static_cast<size_t>(-1);
  }
}

extern "C" int iconv_close(iconv_t cd) {
  if (cd && cd != reinterpret_cast<iconv_t>(-1)) delete cd;
  return 0;
}

extern "C" FILE* kvdn_fopen_utf8(const char* path, const char* mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  const int length = static_cast<int>(std::strlen(path));
  const int wide =
      length == 0 ? 0 : ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, nullptr, 0);
  if (length != 0 && wide <= 0) {
    errno = ENOENT;
    return nullptr;
  }
  std::wstring widePath(static_cast<std::size_t>(wide), L'\0');
  if (wide > 0) ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, widePath.data(), wide);
  std::wstring wideMode;
  for (const char* m = mode; *m; ++m)
    wideMode.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*m)));
  return ::_wfopen(widePath.c_str(), wideMode.c_str());
}
