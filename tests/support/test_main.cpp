// The main of every test program: GoogleTest's, and --version (the program's
// name and the project's version, nothing run), which every program of the
// build answers. --help is GoogleTest's own (its options, nothing run).
#include <gtest/gtest.h>

#include <cstdio>
#include <string_view>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      const std::string_view path = argv[0];
      const std::string_view name = path.substr(path.find_last_of('/') + 1);
      std::printf("%.*s %s\n", static_cast<int>(name.size()), name.data(), KVDN_VERSION);
      return 0;
    }
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
