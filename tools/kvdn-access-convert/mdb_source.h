// The Access reader: a TableSource over mdbtools' libmdb, for Access 97 to
// 2016 files (.mdb, .accdb). The file is opened read-only and never written.
//
// Values are taken from the row's bytes where libmdb's own text forms would
// lose something (Null against an empty text, the exact currency, the date's
// serial, binary data); text, memos, decimals and replication IDs through
// libmdb's conversions. A value libmdb cannot read whole (a memo it does not
// follow, an OLE object whose chain is broken) is a SourceError naming the
// cell, never a silently shortened value.
//
// libmdb itself trusts the file: a crafted file can still make it fail
// badly, so the program runs this reader in a child process with limits
// (see main.cpp).
#pragma once

#include <memory>
#include <string>

#include "table_source.h"

namespace kvdn::access {

// Opens `path`. Throws SourceError when the file is not an Access database,
// is damaged or encrypted, or cannot be read. Text is read as UTF-8 (from
// UTF-16 in Access 2000 and later; in the code page the header names in
// Access 97 files). Sets MDBICONV in this process's environment.
std::unique_ptr<TableSource> openMdbSource(const std::string& path);

// The version of the file's format in words ("Access 2000-2003 (Jet 4)").
std::string mdbFormatName(TableSource& source);

}  // namespace kvdn::access
