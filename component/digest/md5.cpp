// md5Class and dbClass.md5: the component's MD5 digest.
//
// The compression is RFC 1321 MD5. What is the component's own is how a text
// becomes message words: one byte slot per UTF-16 unit, filled with the unit's
// code page 936 code. A double-byte character has a negative 16-bit code that
// is sign-extended to 32 bits before it is shifted into its slot, so its sign
// bits are ORed over the higher slots of the same word (never into the next
// word). The length words count 8 bits per unit. Stored password digests
// depend on this packing: do not "fix" it. For ASCII texts the result is the
// standard MD5 of the bytes.
//
// The words are built and compressed one 64-byte block at a time, straight
// from the UTF-8 text, so a call allocates nothing but its result string.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "kvdn/db_class.h"
#include "kvdn/text.h"

namespace kvdn {

namespace {

inline std::uint32_t rotl(std::uint32_t x, int c) {
  return (x << c) | (x >> (32 - c));
}

inline std::uint32_t fF(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint32_t fG(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (z & (x ^ y));
}
inline std::uint32_t fH(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return x ^ y ^ z;
}
inline std::uint32_t fI(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (x | ~z);
}

template <std::uint32_t (*Fn)(std::uint32_t, std::uint32_t, std::uint32_t)>
inline void step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
                 std::uint32_t t, int s) {
  a = rotl(a + Fn(b, c, d) + x + t, s) + b;
}

// One RFC 1321 block transformation of `state` by the 16 words `x`.
void compress(std::uint32_t state[4], const std::uint32_t x[16]) {
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  step<fF>(a, b, c, d, x[0], 0xd76aa478, 7);
  step<fF>(d, a, b, c, x[1], 0xe8c7b756, 12);
  step<fF>(c, d, a, b, x[2], 0x242070db, 17);
  step<fF>(b, c, d, a, x[3], 0xc1bdceee, 22);
  step<fF>(a, b, c, d, x[4], 0xf57c0faf, 7);
  step<fF>(d, a, b, c, x[5], 0x4787c62a, 12);
  step<fF>(c, d, a, b, x[6], 0xa8304613, 17);
  step<fF>(b, c, d, a, x[7], 0xfd469501, 22);
  step<fF>(a, b, c, d, x[8], 0x698098d8, 7);
  step<fF>(d, a, b, c, x[9], 0x8b44f7af, 12);
  step<fF>(c, d, a, b, x[10], 0xffff5bb1, 17);
  step<fF>(b, c, d, a, x[11], 0x895cd7be, 22);
  step<fF>(a, b, c, d, x[12], 0x6b901122, 7);
  step<fF>(d, a, b, c, x[13], 0xfd987193, 12);
  step<fF>(c, d, a, b, x[14], 0xa679438e, 17);
  step<fF>(b, c, d, a, x[15], 0x49b40821, 22);

  step<fG>(a, b, c, d, x[1], 0xf61e2562, 5);
  step<fG>(d, a, b, c, x[6], 0xc040b340, 9);
  step<fG>(c, d, a, b, x[11], 0x265e5a51, 14);
  step<fG>(b, c, d, a, x[0], 0xe9b6c7aa, 20);
  step<fG>(a, b, c, d, x[5], 0xd62f105d, 5);
  step<fG>(d, a, b, c, x[10], 0x02441453, 9);
  step<fG>(c, d, a, b, x[15], 0xd8a1e681, 14);
  step<fG>(b, c, d, a, x[4], 0xe7d3fbc8, 20);
  step<fG>(a, b, c, d, x[9], 0x21e1cde6, 5);
  step<fG>(d, a, b, c, x[14], 0xc33707d6, 9);
  step<fG>(c, d, a, b, x[3], 0xf4d50d87, 14);
  step<fG>(b, c, d, a, x[8], 0x455a14ed, 20);
  step<fG>(a, b, c, d, x[13], 0xa9e3e905, 5);
  step<fG>(d, a, b, c, x[2], 0xfcefa3f8, 9);
  step<fG>(c, d, a, b, x[7], 0x676f02d9, 14);
  step<fG>(b, c, d, a, x[12], 0x8d2a4c8a, 20);

  step<fH>(a, b, c, d, x[5], 0xfffa3942, 4);
  step<fH>(d, a, b, c, x[8], 0x8771f681, 11);
  step<fH>(c, d, a, b, x[11], 0x6d9d6122, 16);
  step<fH>(b, c, d, a, x[14], 0xfde5380c, 23);
  step<fH>(a, b, c, d, x[1], 0xa4beea44, 4);
  step<fH>(d, a, b, c, x[4], 0x4bdecfa9, 11);
  step<fH>(c, d, a, b, x[7], 0xf6bb4b60, 16);
  step<fH>(b, c, d, a, x[10], 0xbebfbc70, 23);
  step<fH>(a, b, c, d, x[13], 0x289b7ec6, 4);
  step<fH>(d, a, b, c, x[0], 0xeaa127fa, 11);
  step<fH>(c, d, a, b, x[3], 0xd4ef3085, 16);
  step<fH>(b, c, d, a, x[6], 0x04881d05, 23);
  step<fH>(a, b, c, d, x[9], 0xd9d4d039, 4);
  step<fH>(d, a, b, c, x[12], 0xe6db99e5, 11);
  step<fH>(c, d, a, b, x[15], 0x1fa27cf8, 16);
  step<fH>(b, c, d, a, x[2], 0xc4ac5665, 23);

  step<fI>(a, b, c, d, x[0], 0xf4292244, 6);
  step<fI>(d, a, b, c, x[7], 0x432aff97, 10);
  step<fI>(c, d, a, b, x[14], 0xab9423a7, 15);
  step<fI>(b, c, d, a, x[5], 0xfc93a039, 21);
  step<fI>(a, b, c, d, x[12], 0x655b59c3, 6);
  step<fI>(d, a, b, c, x[3], 0x8f0ccc92, 10);
  step<fI>(c, d, a, b, x[10], 0xffeff47d, 15);
  step<fI>(b, c, d, a, x[1], 0x85845dd1, 21);
  step<fI>(a, b, c, d, x[8], 0x6fa87e4f, 6);
  step<fI>(d, a, b, c, x[15], 0xfe2ce6e0, 10);
  step<fI>(c, d, a, b, x[6], 0xa3014314, 15);
  step<fI>(b, c, d, a, x[13], 0x4e0811a1, 21);
  step<fI>(a, b, c, d, x[4], 0xf7537e82, 6);
  step<fI>(d, a, b, c, x[11], 0xbd3af235, 10);
  step<fI>(c, d, a, b, x[2], 0x2ad7d2bb, 15);
  step<fI>(b, c, d, a, x[9], 0xeb86d391, 21);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

// 64 bytes, all below 0x80?
inline bool ascii64(const unsigned char* p) {
  std::uint64_t acc = 0;
  for (int i = 0; i < 8; ++i) {
    std::uint64_t v;
    std::memcpy(&v, p + 8 * i, 8);
    acc |= v;
  }
  return (acc & 0x8080808080808080ull) == 0;
}

// The packing state of one digest: the block being filled and the number of
// units fed so far. Blocks are compressed as soon as they are full.
class Packer {
 public:
  void reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    std::memset(block_, 0, sizeof block_);
    units_ = 0;
  }

  bool atBlockStart() const { return (units_ & 63) == 0; }

  // One unit's signed code: sign-extended, shifted into its slot, ORed.
  void put(std::int16_t code) {
    const unsigned slot = static_cast<unsigned>(units_ & 63);
    block_[slot >> 2] |= static_cast<std::uint32_t>(static_cast<std::int32_t>(code)) << ((slot & 3) * 8);
    ++units_;
    if (slot == 63) flush();
  }

  // 64 ASCII units at once; only at a block start. ASCII codes are the bytes
  // themselves, so this is the ordinary little-endian packing.
  void putAsciiBlock(const unsigned char* p) {
    std::uint32_t words[16];
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(words, p, 64);
    } else {
      for (int i = 0; i < 16; ++i) {
        words[i] = static_cast<std::uint32_t>(p[4 * i]) | static_cast<std::uint32_t>(p[4 * i + 1]) << 8 |
                   static_cast<std::uint32_t>(p[4 * i + 2]) << 16 |
                   static_cast<std::uint32_t>(p[4 * i + 3]) << 24;
      }
    }
    compress(state_, words);
    units_ += 64;
  }

  // Terminator and length words, last compression, 32 lower-case digits.
  std::string finish() {
    const unsigned slot = static_cast<unsigned>(units_ & 63);
    block_[slot >> 2] |= 0x80u << ((slot & 3) * 8);
    if (slot >= 56) flush();  // no room for the length words in this block
    block_[14] = static_cast<std::uint32_t>(units_ << 3);
    block_[15] = static_cast<std::uint32_t>(units_ >> 29);
    compress(state_, block_);

    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int w = 0; w < 4; ++w) {
      for (int b = 0; b < 4; ++b) {
        const unsigned byte = (state_[w] >> (8 * b)) & 0xff;
        out[static_cast<std::size_t>(8 * w + 2 * b)] = kHex[byte >> 4];
        out[static_cast<std::size_t>(8 * w + 2 * b + 1)] = kHex[byte & 15];
      }
    }
    return out;
  }

 private:
  void flush() {
    compress(state_, block_);
    std::memset(block_, 0, sizeof block_);
  }

  std::uint32_t state_[4];
  std::uint32_t block_[16];
  std::uint64_t units_ = 0;
};

inline bool isCont(unsigned char b) {
  return (b & 0xc0) == 0x80;
}

// Feeds the UTF-16 units of well-formed UTF-8. Returns false at the first
// malformed sequence; the caller then starts again from toUtf16, whose
// replacement rules are the library's one definition of a unit count.
bool feedUtf8(Packer& packer, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (packer.atBlockStart()) {
      while (end - p >= 64 && ascii64(p)) {
        packer.putAsciiBlock(p);
        p += 64;
      }
      if (p == end) break;
    }
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
      // Code page 936 keeps ASCII as it is.
      packer.put(static_cast<std::int16_t>(b0));
      ++p;
      continue;
    }
    const std::ptrdiff_t left = end - p;
    std::uint32_t cp;
    int len;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
      if (left < 2 || !isCont(p[1])) return false;
      cp = (b0 & 0x1fu) << 6 | (p[1] & 0x3fu);
      len = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
      if (left < 3 || !isCont(p[1]) || !isCont(p[2])) return false;
      if (b0 == 0xe0 && p[1] < 0xa0) return false;  // overlong
      if (b0 == 0xed && p[1] > 0x9f) return false;  // encoded surrogate
      cp = (b0 & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu);
      len = 3;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
      if (left < 4 || !isCont(p[1]) || !isCont(p[2]) || !isCont(p[3])) return false;
      if (b0 == 0xf0 && p[1] < 0x90) return false;  // overlong
      if (b0 == 0xf4 && p[1] > 0x8f) return false;  // above U+10FFFF
      cp = (b0 & 0x07u) << 18 | (p[1] & 0x3fu) << 12 | (p[2] & 0x3fu) << 6 | (p[3] & 0x3fu);
      len = 4;
    } else {
      return false;
    }
    p += len;
    if (cp < 0x10000) {
      packer.put(ansiCode(static_cast<char16_t>(cp)));
    } else {
      cp -= 0x10000;
      packer.put(ansiCode(static_cast<char16_t>(0xd800 + (cp >> 10))));
      packer.put(ansiCode(static_cast<char16_t>(0xdc00 + (cp & 0x3ff))));
    }
  }
  return true;
}

std::string digestText(std::string_view text) {
  Packer packer;
  packer.reset();
  if (!feedUtf8(packer, text)) {
    packer.reset();
    for (char16_t unit : toUtf16(text)) packer.put(ansiCode(unit));
  }
  return packer.finish();
}

}  // namespace

std::string Md5Class::md5(const Variant& message) {
  if (message.isNull()) raise(err::kInvalidNull);
  if (message.isEmpty()) return digestText({});
  if (message.isString()) return digestText(message.str());
  return digestText(message.toString());  // numbers, dates, booleans; an object raises
}

namespace {
constexpr Member kMd5Members[] = {{"md5", 1, Member::kMethod, 1, 1}};
constexpr MemberTable kMd5Table("md5Class", kMd5Members);
}  // namespace

const MemberTable& Md5Class::members() const noexcept {
  return kMd5Table;
}

Variant Md5Class::invoke(std::string_view name, std::vector<Variant>& args) {
  bindMember(kMd5Table, name, Member::kMethod, args.size());
  return Variant(md5(args[0]));
}

// A fresh engine per call, kept in md5Engine_ until the next call, and called
// by name as a page would call it.
std::string DbClass::md5(const Variant& str) {
  md5Engine_ = Variant(std::make_shared<Md5Class>());
  std::vector<Variant> args{str};
  return md5Engine_.object()->invoke("md5", args).toString();
}

}  // namespace kvdn
