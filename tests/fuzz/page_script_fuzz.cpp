// The kvdn-page script reader: any bytes as the script file. Text that is
// no JSON is the reader's refusal; JSON that is no script raises
// ScriptError naming the place. Nothing else escapes and nothing runs.
#include <cstdint>
#include <string>

#include "fuzz_site.h"
#include "script.h"

using namespace kvdn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const page_tool::Json document = page_tool::Json::parse(fuzz::textOf(data, size), nullptr, false);
  if (document.is_discarded()) return 0;
  try {
    (void)page_tool::parseScript(document, "/nonexistent/scripts");
  } catch (const page_tool::ScriptError&) {
  }
  return 0;
}
