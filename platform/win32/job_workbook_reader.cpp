#include "job_workbook_reader.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "kvdn/error.h"
#include "wide.h"
#include "workbook_wire.h"

namespace kvdn::platform::windows {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void unreadable(const std::string& path, const std::string& what) {
  raise(err::kDbFail, "External table is not in the expected format: '" + path + "' (" + what + ")");
}

[[noreturn]] void cannotStart(const std::string& what, DWORD code) {
  raise(err::kDbFail, "The spreadsheet reader cannot be started: " + what + ": " + describeSystemError(code));
}

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE* put() {
    reset();
    return &h_;
  }
  void reset() {
    if (h_) ::CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// One argument quoted for CommandLineToArgvW (the C runtime's rules):
// backslashes double only before a quote.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
  line.push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

std::string hex(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

}  // namespace

std::wstring defaultXlsReaderPath() {
  // The environment on the heap: a page host's threads have small stacks.
  std::wstring configured(32768, L'\0');
  const DWORD n = ::GetEnvironmentVariableW(L"KVDN_XLS_READER", configured.data(), 32768);
  if (n > 0 && n < 32768) return configured.substr(0, n);
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&defaultXlsReaderPath), &module);
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  const std::size_t slash = path.find_last_of(L"\\/");
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return path + L"kvdn-xls-reader.exe";
}

JobWorkbookReader::JobWorkbookReader(JobLimits limits) : limits_(std::move(limits)) {
  if (limits_.helperPath.empty()) limits_.helperPath = defaultXlsReaderPath();
  limits_.cpuSeconds = std::max(1u, limits_.cpuSeconds);
}

WorkbookContent JobWorkbookReader::read(const std::string& path) {
  const auto deadline = Clock::now() + limits_.timeout;

  // The job first: a child outside it would run unlimited.
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job.get()) cannotStart("CreateJobObject", ::GetLastError());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                          JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION |
                                          JOB_OBJECT_LIMIT_ACTIVE_PROCESS | JOB_OBJECT_LIMIT_PROCESS_TIME;
  info.BasicLimitInformation.ActiveProcessLimit = 1;
  info.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart =
      static_cast<LONGLONG>(limits_.cpuSeconds) * 10'000'000;
  if (limits_.memoryMiB > 0) {
    info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    info.ProcessMemoryLimit = static_cast<SIZE_T>(limits_.memoryMiB) << 20;
  }
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &info, sizeof info))
    cannotStart("SetInformationJobObject", ::GetLastError());

  // The pipe: only the write end is inherited, and only by this child (the
  // handle list), so that another thread's child never holds it.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle readEnd, writeEnd;
  if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 1 << 16))
    cannotStart("CreatePipe", ::GetLastError());
  ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  Handle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr));
  if (!nul.get()) cannotStart("NUL", ::GetLastError());

  SIZE_T attributeSize = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
  std::vector<unsigned char> attributeBuffer(attributeSize);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize))
    cannotStart("InitializeProcThreadAttributeList", ::GetLastError());
  HANDLE inherited[2] = {writeEnd.get(), nul.get()};
  const bool listed = ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                  sizeof inherited, nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul.get();
  startup.StartupInfo.hStdOutput = writeEnd.get();
  startup.StartupInfo.hStdError = nul.get();
  startup.lpAttributeList = listed ? attributes : nullptr;

  std::wstring commandLine;
  appendQuoted(commandLine, limits_.helperPath);
  commandLine += L" -- ";
  appendQuoted(commandLine, widen(path));
  PROCESS_INFORMATION process{};
  const BOOL started =
      ::CreateProcessW(limits_.helperPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                           (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
                       nullptr, nullptr, &startup.StartupInfo, &process);
  const DWORD startError = ::GetLastError();
  ::DeleteProcThreadAttributeList(attributes);
  if (!started) cannotStart(narrow(limits_.helperPath), startError);
  Handle child(process.hProcess);
  Handle thread(process.hThread);
  if (!::AssignProcessToJobObject(job.get(), child.get())) {
    const DWORD code = ::GetLastError();
    ::TerminateProcess(child.get(), 1);
    cannotStart("AssignProcessToJobObject", code);
  }
  // From here the job ends the child whatever happens: closing `job` (on
  // any exception too) kills it.
  ::ResumeThread(thread.get());
  writeEnd.reset();
  nul.reset();

  std::string bytes;
  bool timedOut = false;
  bool tooLarge = false;
  bool exited = false;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr))
      break;  // broken: child gone
    if (available > 0) {
      DWORD got = 0;
      if (!::ReadFile(readEnd.get(), buffer.data(),
                      std::min<DWORD>(available, static_cast<DWORD>(buffer.size())), &got, nullptr))
        break;
      if (bytes.size() + got > limits_.maxContentBytes) {
        tooLarge = true;
        break;
      }
      bytes.append(buffer.data(), got);
      continue;
    }
    if (exited) break;  // exited and drained
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    // The child exits right after writing: look again soon. One more
    // round after the exit drains what it wrote last.
    exited =
        ::WaitForSingleObject(child.get(), static_cast<DWORD>(std::min<long long>(left, 2))) == WAIT_OBJECT_0;
  }
  if (!timedOut && !tooLarge) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (::WaitForSingleObject(child.get(), static_cast<DWORD>(std::max<long long>(left, 0))) != WAIT_OBJECT_0)
      timedOut = true;
  }
  if (timedOut || tooLarge) {
    ::TerminateJobObject(job.get(), 1);
    ::WaitForSingleObject(child.get(), 5000);
  }
  if (timedOut) {
    unreadable(path, "the spreadsheet reader did not finish within " +
                         std::to_string(limits_.timeout.count()) + " ms and was stopped");
  }
  if (tooLarge) {
    unreadable(path,
               "the workbook's content is larger than " + std::to_string(limits_.maxContentBytes) + " bytes");
  }
  DWORD status = 0;
  ::GetExitCodeProcess(child.get(), &status);
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  ::QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                              nullptr);
  if (accounting.TotalUserTime.QuadPart >= static_cast<LONGLONG>(limits_.cpuSeconds) * 10'000'000 &&
      status != 0) {
    unreadable(path, "the spreadsheet reader used more than its " + std::to_string(limits_.cpuSeconds) +
                         " s of processor time and was stopped");
  }
  if (status >= 0xC0000000u)
    unreadable(path, "the spreadsheet reader crashed on it (exception " + hex(status) + ")");
  if (status != 0)
    unreadable(path, "the spreadsheet reader failed with exit status " + std::to_string(status));
  return xls::decodeWorkbook(bytes, path);
}

}  // namespace kvdn::platform::windows

namespace kvdn {

std::shared_ptr<WorkbookReader> makeSystemWorkbookReader() {
  return std::make_shared<platform::windows::JobWorkbookReader>();
}

}  // namespace kvdn
