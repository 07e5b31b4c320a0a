// Generates the lower-case mapping of every Unicode letter from the C
// library's own case tables (towlower in the "C.UTF-8" locale): the pairs
// (code point, its lower case) where the two differ, sorted by code point.
// Run at build time; writes a C++ include file.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cwctype>

namespace {

bool lowerOf(std::uint32_t cp, std::uint32_t& lower) {
  lower = static_cast<std::uint32_t>(std::towlower(static_cast<std::wint_t>(cp)));
  return lower != cp;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  if (!std::setlocale(LC_CTYPE, "C.UTF-8") && !std::setlocale(LC_CTYPE, "C.utf8")) {
    std::fprintf(stderr, "gen_lower: the locale C.UTF-8 is not available\n");
    return 1;
  }
  // The locale must really carry Unicode case tables, not only ASCII ones.
  std::uint32_t check = 0;
  if (!lowerOf(0xC4, check) || check != 0xE4 || !lowerOf(0x0414, check) || check != 0x0434 ||
      !lowerOf(0xFF21, check) || check != 0xFF41) {
    std::fprintf(stderr, "gen_lower: towlower in C.UTF-8 lacks Unicode case mappings\n");
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out, "// Generated from towlower in C.UTF-8. Do not edit.\n");
  std::fprintf(out, "static const std::uint32_t kLowerPairs[][2] = {\n");
  int count = 0;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::uint32_t lower = 0;
    if (lowerOf(cp, lower)) {
      std::fprintf(out, "    {0x%X, 0x%X},\n", cp, lower);
      ++count;
    }
  }
  std::fprintf(out, "};\n");
  if (std::fclose(out) != 0 || count == 0) {
    std::fprintf(stderr, "gen_lower: writing %s failed\n", argv[1]);
    return 1;
  }
  return 0;
}
