// Paths from and to the library's UTF-8 texts. A std::filesystem::path made
// from a plain std::string takes it in the system's narrow encoding, which on
// Windows is the ANSI code page, not UTF-8: a Chinese file name would not
// survive. These go through char8_t, which every platform reads as UTF-8.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kvdn {

inline std::filesystem::path pathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

inline std::string utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace kvdn
