// The link's side of the cursors: on servers that run one statement at a time, the
// pending result of a cursor is read into memory before another statement runs.
#include "odbc_cursor.h"

namespace kvdn::odbc {

void Link::makeRoom(const OdbcCursor* except) {
  if (!oneActive || !active || active == except) return;
  OdbcCursor* pending = active;
  active = nullptr;
  pending->drain();
}

}  // namespace kvdn::odbc
