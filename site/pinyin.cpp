// The pinyin order of Chinese names: ICU's collator for "zh" (whose
// standard order is pinyin), registered as the SQLite collation "pinyin".
#include <unicode/ucol.h>

#include <memory>
#include <mutex>
#include <string>

#include "kvdn/collation.h"
#include "site.h"

namespace site {

namespace {

struct CollatorClose {
  void operator()(UCollator* c) const { ucol_close(c); }
};

bool& pinyinOn() {
  static bool on = false;
  return on;
}

}  // namespace

bool usePinyinOrder(bool on) {
  if (!on) {
    kvdn::setSqliteCollation(kPinyinCollation, nullptr);
    pinyinOn() = false;
    return true;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::shared_ptr<UCollator> collator(ucol_open("zh", &status), CollatorClose());
  if (U_FAILURE(status) || !collator) return false;
  // ucol_strcollUTF8 on one collator from many threads at once is safe
  // (ICU: the const operations of a collator are thread-safe).
  kvdn::setSqliteCollation(kPinyinCollation, [collator](std::string_view a, std::string_view b) {
    UErrorCode error = U_ZERO_ERROR;
    const UCollationResult r = ucol_strcollUTF8(collator.get(), a.data(), static_cast<int32_t>(a.size()),
                                                b.data(), static_cast<int32_t>(b.size()), &error);
    // Texts ICU finds equal (or cannot compare) go by their bytes: the
    // order is total, and "=" under it means the same text.
    if (U_FAILURE(error) || r == UCOL_EQUAL) return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
    return r == UCOL_LESS ? -1 : 1;
  });
  pinyinOn() = true;
  return true;
}

std::string nameCollation() {
  // A server database orders by its own collation.
  return pinyinOn() && serverDatabase().empty() ? std::string(" collate ") + kPinyinCollation : std::string();
}

}  // namespace site
