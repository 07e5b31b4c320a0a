// The registry file: which library implements which ProgID.
//
// One class per line: "progid<TAB>{clsid}<TAB>/absolute/path/libkvdnAspDll.so".
// Lines that are not of that form (comments, blanks, other tools' lines) are
// ignored when reading and kept verbatim when the file is rewritten. ProgIDs
// compare case-insensitively, as Server.CreateObject does.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/com.h"

namespace kvdn::com {

struct RegistryEntry {
  std::string progId;
  CLSID clsid{};
  std::filesystem::path library;
};

// The file to use: $KVDN_REGISTRY_FILE when set and not empty, else
// $XDG_CONFIG_HOME/kvdn/registry when XDG_CONFIG_HOME is an absolute path,
// else ~/.config/kvdn/registry. Empty when no home folder can be found.
std::filesystem::path defaultRegistryFile();

// nullopt for a line that is not an entry (wrong field count, empty ProgID,
// bad class id, empty or relative library path).
std::optional<RegistryEntry> parseRegistryLine(std::string_view line);
// The line for an entry, without the newline. Raises err::kInvalidCall when
// a field cannot be written in this format (a tab or line break in it, an
// empty ProgID, a relative library path).
std::string formatRegistryLine(const RegistryEntry& entry);

// The entries of the file in file order. A missing file has none; a file
// that exists but cannot be read raises err::kDbFail.
std::vector<RegistryEntry> readRegistryFile(const std::filesystem::path& file);

// Rewrites the file: drops every entry whose ProgID is in `remove` or is the
// ProgID of an entry in `add`, keeps all other lines in order, and appends
// `add`. Creates the folders as needed. The new content replaces the old in
// one rename, under an exclusive lock on "<file>.lock", so that concurrent
// registrations neither see a half-written file nor lose each other's lines.
// Raises err::kDbFail when the file cannot be written (the old one stays);
// err::kInvalidCall for an entry formatRegistryLine refuses.
void updateRegistryFile(const std::filesystem::path& file, const std::vector<RegistryEntry>& add,
                        const std::vector<std::string>& remove = {});

}  // namespace kvdn::com
