// A stand-in for kvdn-xls-reader.exe that never answers (it writes nothing
// and waits for ever): the workbook reader must stop it at its time limit
// and report that. Run by tests/windows/xls_import_check.py through
// KVDN_XLS_READER.
#include <windows.h>

int wmain() {
  for (;;) ::Sleep(1000);
}
