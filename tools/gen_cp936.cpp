// Generates the code page 936 table from the system's iconv ("CP936"):
// for every UTF-16 unit, its signed 16-bit ANSI code (63 when the code page
// cannot represent it). Run at build time; writes a C++ include file.
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  iconv_t cd = iconv_open("CP936", "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    std::perror("iconv_open CP936");
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out, "// Generated from iconv CP936. Do not edit.\n");
  std::fprintf(out, "static const std::int16_t kCp936Codes[65536] = {\n");
  for (unsigned u = 0; u < 65536; ++u) {
    int code = 63;
    if (u < 0xD800 || u > 0xDFFF) {
      char in[2] = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
      char buf[8];
      char* inp = in;
      char* outp = buf;
      size_t inLeft = 2, outLeft = sizeof buf;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1)) {
        size_t n = sizeof buf - outLeft;
        auto b0 = static_cast<unsigned char>(buf[0]);
        if (n == 1) {
          code = b0;
        } else if (n == 2) {
          int v = b0 * 256 + static_cast<unsigned char>(buf[1]);
          code = v >= 32768 ? v - 65536 : v;
        }
      }
    }
    std::fprintf(out, "%d,%s", code, (u % 16 == 15) ? "\n" : "");
  }
  std::fprintf(out, "};\n");
  iconv_close(cd);
  return std::fclose(out) == 0 ? 0 : 1;
}
