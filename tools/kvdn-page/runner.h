// Running a kvdn-page script: the setup, then each page against a fresh
// dbClass in the in-memory host.
#pragma once

#include <iosfwd>

#include "kvdn/memory_host.h"
#include "script.h"

namespace kvdn::page_tool {

// Creates each setup database under the site root when missing (folders
// too) and runs its statements in order with SQLite itself. A path that
// leaves the site root or a statement SQLite refuses raises ScriptError.
void runSetup(const Script& script);

// Runs every page and returns {"pages": [...]}. Per page: the object is
// created with the page's Server.CreateObject("kvdnAspDll.dbClass") and bound
// with OnStartPage; the steps run until one ends the response; OnEndPage
// follows. A failing step records its error and the page goes on. A failure
// to create or bind the object is recorded as the page's "error" and its
// steps are skipped. OnEndPage failures and failures that are not ComErrors
// are also reported on `diagnostics`.
Json runPages(const Script& script, MemoryHost& host, std::ostream& diagnostics);

}  // namespace kvdn::page_tool
