// The speed paths of the database file against the plain path: the input's
// bytes choose a history of pages and other connections' writes (see
// speed_paths_diff.h), run on two copies of one database with every speed
// path on and off. Any page that answers differently is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "../support/speed_paths_diff.h"

using namespace kvdn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::random_device rd;
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("kvdn-speed-fuzz-" + std::to_string(rd()));
  speed_diff::ByteChoices choices(data, size);
  const auto difference = speed_diff::run(choices, root, 40, [&] { return !choices.exhausted(); });
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  if (difference) {
    std::fprintf(stderr, "speed paths answer differently at step %zu:%s\n--- with:\n%s\n--- without:\n%s\n",
                 difference->step, difference->history.c_str(), difference->withSpeedPaths.c_str(),
                 difference->without.c_str());
    std::abort();
  }
  return 0;
}
