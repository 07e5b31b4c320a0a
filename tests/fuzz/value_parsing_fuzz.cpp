// Values as the script engine reads them from request text: dates (every
// form a date field posts) and numbers (signs, exponents, thousands
// separators, &H and &O). A date that parses comes back unchanged from its
// own text; a number that parses is finite.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_site.h"
#include "kvdn/error.h"
#include "kvdn/variant.h"

using namespace kvdn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::textOf(data, size);
  if (const auto date = Date::parse(text)) {
    const auto again = Date::parse(date->text());
    if (!again || again->serial != date->serial) std::abort();
    (void)date->parts();
  }
  double value = 0;
  if (parseNumberText(text, value) == NumberText::Number && !std::isfinite(value)) std::abort();
  (void)parseNumber(text);

  // The conversions a page asks of a posted value.
  const Variant v{std::string(text)};
  for (auto convert :
       {+[](const Variant& x) { (void)x.toDouble(); }, +[](const Variant& x) { (void)x.toInt32(); },
        +[](const Variant& x) { (void)x.toInt64(); }, +[](const Variant& x) { (void)x.toBool(); },
        +[](const Variant& x) { (void)x.isNumeric(); }}) {
    try {
      convert(v);
    } catch (const ComError&) {
    }
  }
  return 0;
}
