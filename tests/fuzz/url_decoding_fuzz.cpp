// Query strings, form bodies and server variables as both hosts parse them:
// percent-decoding (any "%" sequence, cut-off ones included), the
// collections, and a request built of them. Any bytes are a request.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_site.h"

using namespace kvdn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::textOf(data, size);
  // Decoding never grows the text.
  if (percentDecode(text, true).size() > text.size()) std::abort();
  if (percentDecode(text, false).size() > text.size()) std::abort();

  const UrlEncodedCollection collection(text);
  for (const std::string& key : collection.keys()) (void)collection.item(key);
  (void)collection.item("");

  const auto [query, form] = fuzz::split2(text);
  const ParsedRequest request(query, form,
                              {{"HTTP_X_FORWARDED_FOR", std::string(form)}, {"REMOTE_ADDR", "127.0.0.1"}});
  for (const std::string& key : request.queryString().keys()) (void)request.queryString().item(key);
  for (const std::string& key : request.form().keys()) (void)request.form().item(key);
  (void)request.serverVariable(query);
  return 0;
}
