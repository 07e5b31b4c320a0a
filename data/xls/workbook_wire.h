// The workbook content as bytes, for handing it from the process that
// parsed the file to the one that uses it: encodeWorkbook / encodeFailure on
// the parsing side, decodeWorkbook on the other.
//
// The decoder treats its input as hostile (the parsing side ran on a crafted
// file): every count and length is checked against what is left and against
// the stated dimensions, and anything malformed or incomplete raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kvdn/workbook_reader.h"

namespace kvdn::xls {

// The text of all cells of a workbook together, at most, in bytes: a small
// file can repeat one shared string in every cell (1.9 MB of workbook made
// 240 MB of text). The parsing side refuses a workbook with more (err::kDbFail),
// the decoder a stream with more.
inline constexpr std::size_t kMaxWorkbookText = 32u << 20;

// The content, ending with an end mark (a cut-off stream never decodes).
std::string encodeWorkbook(const WorkbookContent& content);
// A failure the parsing side reports instead of content: decodeWorkbook
// raises ComError(number, description).
std::string encodeFailure(std::int32_t number, std::string_view description);

// Raises ComError err::kDbFail, naming `path`, when `bytes` is not one
// complete encoding; ComError(number, description) for an encoded failure.
WorkbookContent decodeWorkbook(std::string_view bytes, const std::string& path);

}  // namespace kvdn::xls
