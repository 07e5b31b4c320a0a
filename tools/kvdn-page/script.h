// The script format of kvdn-page (see README.md beside this file) and the
// mapping between JSON values and Variants.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "kvdn/memory_host.h"
#include "kvdn/variant.h"

namespace kvdn::page_tool {

using Json = nlohmann::ordered_json;

// A script that cannot be run as written: the message names the place
// ("pages[1].calls[0]") and what is wrong. Exit status 2.
class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SetupEntry {
  std::string database;  // site-relative path of the SQLite file
  std::vector<std::string> statements;
};

enum class StepKind { Set, Get, Call, Exec, Open };

struct Step {
  StepKind kind = StepKind::Get;
  std::string name;           // property, method or statement
  Variant value;              // Set only
  std::vector<Variant> args;  // Call only
};

struct PageScript {
  PageRequest request;
  std::vector<Step> steps;
};

struct Script {
  std::filesystem::path site;  // absolute or relative to the working folder
  std::vector<SetupEntry> setup;
  std::vector<PageScript> pages;
};

// Checks the whole document and builds the script; nothing runs before the
// whole script is known to be well formed. `scriptFolder` is what a relative
// "site" is relative to. Raises ScriptError.
Script parseScript(const Json& document, const std::filesystem::path& scriptFolder);

// A JSON value as a Variant: string -> String; integer -> Long, or the 64-bit
// integer when it does not fit in 32 bits; other numbers -> Double;
// true/false -> Boolean; null -> Null; {"empty": true} -> Empty;
// {"date": "yyyy-mm-dd hh:mm:ss"} -> Date. Anything else raises ScriptError
// naming `where`.
Variant variantFromJson(const Json& value, const std::string& where);

// The reverse: integers of every width as JSON integers, Double as a number,
// Date as {"date": storage text}, Empty as {"empty": true}, an object as
// {"object": true} and Nothing as {"object": false}.
Json variantToJson(const Variant& value);

}  // namespace kvdn::page_tool
