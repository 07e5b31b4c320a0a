// Test workbooks: legacy .xls files written by tests/data/xls/make_workbook.py
// (Debian python3-xlwt) from a description, with Chinese sheet and heading
// names where the tests need them. Header-only: the spreadsheet, import and
// benchmark programs include it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kvdn::testing {

struct TestSheet {
  std::string name;
  // Cells as JSON: string, number, boolean, null (no cell),
  // {"date": "yyyy-mm-dd"}, {"datetime": "yyyy-mm-dd hh:mm:ss"}.
  std::vector<std::vector<nlohmann::json>> rows;
};

inline std::filesystem::path workbookScript() {
  return std::filesystem::path(KVDN_SOURCE_DIR) / "tests" / "data" / "xls" / "make_workbook.py";
}

// Writes the workbook at `path` (its folder must exist); throws
// std::runtime_error when the script fails.
inline void writeWorkbook(const std::filesystem::path& path, const std::vector<TestSheet>& sheets) {
  nlohmann::json layout;
  layout["sheets"] = nlohmann::json::array();
  for (const auto& sheet : sheets) layout["sheets"].push_back({{"name", sheet.name}, {"rows", sheet.rows}});
  const std::filesystem::path layoutFile = path.string() + ".json";
  {
    std::ofstream out(layoutFile);
    out << layout.dump();
  }
  const std::string command = "/usr/bin/python3 '" + workbookScript().string() + "' '" + layoutFile.string() +
                              "' '" + path.string() + "'";
  const int status = std::system(command.c_str());
  std::filesystem::remove(layoutFile);
  if (status != 0) throw std::runtime_error("make_workbook.py failed: " + command);
}

}  // namespace kvdn::testing
