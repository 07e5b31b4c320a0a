// UTF-8 <-> UTF-16 for the Windows layer: every text of the library is UTF-8,
// every Win32 and automation text is UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace kvdn::platform::windows {

// Ill-formed input is replaced by U+FFFD; never throws except bad_alloc.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);
std::string narrow(const wchar_t* utf16, std::size_t length);
// The system's text for a Win32 error code, without the trailing line break.
std::string describeSystemError(unsigned long code);

}  // namespace kvdn::platform::windows
