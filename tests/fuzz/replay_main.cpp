// Replays saved fuzz inputs through a fuzz target without libFuzzer, so that
// the regression run needs only the project's own compiler: every argument
// is a file or a folder (every regular file in it, in name order), each file
// is handed to LLVMFuzzerTestOneInput once. A crash or an abort of the
// target is the failure; exit status 0 when every input ran, 1 when an
// argument could not be read or no input was found. --help and --version are
// answered before the target is initialised (a first argument only: a saved
// input may have any name).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  const std::string_view self = argv[0];
  const std::string name(self.substr(self.find_last_of('/') + 1));
  const std::string_view first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    std::printf(
        "usage: %s FILE_OR_FOLDER...\n"
        "  Hands every saved input (a file, or every file of a folder in name order) to the fuzz\n"
        "  target once; a crash is the failure.\n",
        name.c_str());
    return 0;
  }
  if (first == "--version") {
    std::printf("%s %s\n", name.c_str(), KVDN_VERSION);
    return 0;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      std::vector<std::filesystem::path> inside;
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
        if (entry.is_regular_file()) inside.push_back(entry.path());
      }
      std::sort(inside.begin(), inside.end());
      files.insert(files.end(), inside.begin(), inside.end());
    } else if (std::filesystem::is_regular_file(arg, ec)) {
      files.push_back(arg);
    } else {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 1;
    }
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());  // exact size: reads past it are caught
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
  }
  std::fprintf(stderr, "replay: %zu inputs ran\n", files.size());
  return 0;
}
