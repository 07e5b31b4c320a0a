// Where the HTTP host keeps its visitors' sessions: in the process's memory
// (the default), or in a server database that several site processes share,
// so that any of them behind a load balancer can serve any request of a
// logged-in visitor.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/export.h"
#include "kvdn/memory_host.h"

namespace kvdn {

// Session ids are 32 lower-case hex digits (128 random bits); a store never
// looks up anything else, so a cookie's text never reaches a query.
KVDN_API bool isSessionId(const std::string& id);

// The sessions of every visitor. Implementations are safe to use from many
// page threads at once. Failures of a store that keeps sessions elsewhere
// raise ComError (the page that needed the session then fails with it).
class KVDN_API SessionStore {
 public:
  virtual ~SessionStore() = default;

  // The live session `id` names, or null (not an id, unknown, or idle past
  // the timeout, in which case it is ended). Finding a session counts as
  // using it. The values returned are the page's to read and change; a
  // store that keeps them elsewhere sees changes only through save().
  virtual std::shared_ptr<SessionValues> find(const std::string& id) = 0;
  // A new empty session under a new random id (never one the client chose).
  // A store may keep nothing of it until the first save().
  virtual std::pair<std::string, std::shared_ptr<SessionValues>> create() = 0;
  // Ends session `id`; unknown ids are ignored.
  virtual void remove(const std::string& id) = 0;
  // After a page that stored values in session `id` ran: `changed` names
  // the keys it stored (as the page spelt them), `values` holds them. A
  // store that keeps sessions elsewhere writes those keys there, leaving
  // the others as they are (another process may have stored them meanwhile).
  virtual void save(const std::string& id, const SessionValues& values,
                    const std::vector<std::string>& changed) = 0;
};

// Sessions in this process's memory: at most `max`; one idle longer than
// `timeout` is gone. Nothing to save: pages change the kept values
// themselves. With an `ownerKey` (the session value naming the account, say)
// a session whose page stored that key belongs to that owner (compared
// without ASCII letter case): an owner keeps at most `maxPerOwner` sessions,
// its least recently used one going for a new one. Room for a new session
// is made from idle-expired ones, then from the least recently used one
// without an owner; a live session of an owner is never dropped to make
// room: create() then raises err::kCannotCreate. Without an owner key, the
// least recently used session goes.
KVDN_API std::shared_ptr<SessionStore> makeMemorySessionStore(std::chrono::milliseconds timeout,
                                                              std::size_t max, std::string ownerKey = {},
                                                              std::size_t maxPerOwner = 0);

// Sessions in the server database `connectionString` names (ODBC, as for
// ADODB.Connection; PostgreSQL or SQL Server), in the tables kvdn_sessions
// (id, touched, data, owner: a digest of the owner), made on first use when
// missing (owner added to a table made without it). A session idle longer
// than `timeout` is ended (by the clocks of the processes' machines, which
// must agree to the minute), and those of visitors gone for good are swept
// once a minute. Values
// are kept as their types: Empty, Null, Boolean, the numbers, dates and
// strings; storing an object raises 13 at save(). Two requests of one
// visitor on two processes at once each write only the keys they stored.
// The table is bounded as the memory store is (`max`, `ownerKey`,
// `maxPerOwner`; a session takes its place at its first save(), which
// raises err::kCannotCreate when there is none), by counts that two
// processes saving at the same instant may each pass by one.
// Throws ComError when the database cannot be opened or the table made.
KVDN_API std::shared_ptr<SessionStore> makeDatabaseSessionStore(const std::string& connectionString,
                                                                std::chrono::milliseconds timeout,
                                                                std::size_t max = 10000,
                                                                std::string ownerKey = {},
                                                                std::size_t maxPerOwner = 20);

}  // namespace kvdn
