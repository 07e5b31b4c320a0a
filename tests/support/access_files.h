// The real Access files the tests read (tests/data/access, with their
// licence) and the names the parameterised tests give them.
#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace kvdn::testing {

inline const std::filesystem::path kAccessData =
    std::filesystem::path(KVDN_SOURCE_DIR) / "tests" / "data" / "access";

// The .mdb and .accdb files of kAccessData, by name, sorted; none when the
// folder cannot be read.
inline std::vector<std::string> accessFiles() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(kAccessData, ec)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".mdb" || ext == ".accdb") names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A test name for a file: every character but letters and digits as '_'.
struct AccessFileName {
  template <class Param>
  std::string operator()(const Param& p) const {
    std::string name = p.param;
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
  }
};

}  // namespace kvdn::testing
