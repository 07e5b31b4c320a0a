// kvdn-xls-reader.exe: parses one legacy .xls workbook and writes its
// content (xls/workbook_wire.h) to standard output, as the POSIX helper of
// the same name does. The DLL's workbook reader (job_workbook_reader.h)
// starts it for every workbook a page reads, inside a job object that
// limits its memory and processor time and kills it with the job: a file
// that crashes or hangs FreeXL costs this process only.
//
// usage: kvdn-xls-reader.exe [--] FILE   (FILE in any script: the command
// line is read as UTF-16)
//
// Exit status 0 with the content, or a failure the parser reported, on
// standard output; 2 for bad usage; a fault (a crash) ends the process at
// once with the exception code as exit status (no error dialog, no
// debugger).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "kvdn/error.h"
#include "workbook.h"
#include "workbook_wire.h"

namespace {

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                          nullptr);
  return out;
}

bool writeAll(const std::string& bytes) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    if (!::WriteFile(out, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

// A fault of the processor (a crafted file made the parser read or write
// out of bounds): the process ends at once with the exception's code as its
// exit status, before any handler of the runtime or the system's error
// reporting runs (no dialog waits on a server, no debugger starts). C++
// exceptions are not faults and pass on.
LONG WINAPI endOnFault(EXCEPTION_POINTERS* info) {
  const DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      ::TerminateProcess(::GetCurrentProcess(), code);
      return EXCEPTION_CONTINUE_SEARCH;  // not reached
    default:
      return EXCEPTION_CONTINUE_SEARCH;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // A crash ends the process with its exception code: no dialog waits for a
  // click that never comes on a server, no debugger starts.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::AddVectoredExceptionHandler(1, endOnFault);

  const wchar_t* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg = argv[i];
    if (arg == L"--" && i + 2 == argc) {
      path = argv[++i];
    } else if (!arg.empty() && arg[0] != L'-' && i + 1 == argc) {
      path = argv[i];
    } else {
      std::fprintf(stderr, "usage: kvdn-xls-reader [--] FILE\n");
      return 2;
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: kvdn-xls-reader [--] FILE\n");
    return 2;
  }
  const std::string file = utf8(path);
  std::string out;
  try {
    out = kvdn::xls::encodeWorkbook(kvdn::xls::readWorkbookInProcess(file));
  } catch (const kvdn::ComError& e) {
    out = kvdn::xls::encodeFailure(e.number(), e.description());
  } catch (const std::bad_alloc&) {
    out = kvdn::xls::encodeFailure(kvdn::err::kDbFail, "Not enough memory to read '" + file + "'");
  }
  if (!writeAll(out)) return 3;
  // Skip destructors of whatever the parser may have left in a bad state.
  std::fflush(nullptr);
  ::ExitProcess(0);
}
