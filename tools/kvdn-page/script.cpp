#include "script.h"

#include <cstdint>
#include <limits>

namespace kvdn::page_tool {

namespace {

const char* typeName(const Json& v) {
  return v.type_name();
}

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw ScriptError(where + ": " + what);
}

const Json* member(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string stringAt(const Json& v, const std::string& where) {
  if (!v.is_string()) fail(where, std::string("expected a string, found ") + typeName(v));
  return v.get<std::string>();
}

// An optional string member; "" when absent.
std::string optionalString(const Json& object, const char* key, const std::string& where) {
  const Json* v = member(object, key);
  return v ? stringAt(*v, where + "." + key) : std::string();
}

const Json& arrayAt(const Json& v, const std::string& where) {
  if (!v.is_array()) fail(where, std::string("expected an array, found ") + typeName(v));
  return v;
}

void requireObject(const Json& v, const std::string& where) {
  if (!v.is_object()) fail(where, std::string("expected an object, found ") + typeName(v));
}

PageRequest parseRequest(const Json& r, const std::string& where) {
  requireObject(r, where);
  PageRequest request;
  if (const Json* url = member(r, "url")) request.url = stringAt(*url, where + ".url");
  request.query = optionalString(r, "query", where);
  request.form = optionalString(r, "form", where);
  if (const Json* server = member(r, "server")) {
    requireObject(*server, where + ".server");
    for (const auto& [name, value] : server->items()) {
      request.serverVariables.emplace_back(name, stringAt(value, where + ".server." + name));
    }
  }
  return request;
}

Step parseStep(const Json& s, const std::string& where) {
  requireObject(s, where);
  static constexpr const char* kKinds[] = {"set", "get", "call", "exec", "open"};
  int found = -1;
  for (int i = 0; i < 5; ++i) {
    if (!member(s, kKinds[i])) continue;
    if (found >= 0)
      fail(where, std::string("a step is one of set, get, call, exec or open, not both ") + kKinds[found] +
                      " and " + kKinds[i]);
    found = i;
  }
  if (found < 0) fail(where, "unknown step: expected a key set, get, call, exec or open");

  Step step;
  step.kind = static_cast<StepKind>(found);
  step.name = stringAt(s.at(kKinds[found]), where + "." + kKinds[found]);
  if (step.name.empty()) fail(where + "." + kKinds[found], "must not be empty");
  switch (step.kind) {
    case StepKind::Set: {
      const Json* value = member(s, "value");
      if (!value) fail(where, "a set step needs a value");
      step.value = variantFromJson(*value, where + ".value");
      break;
    }
    case StepKind::Call:
      if (const Json* args = member(s, "args")) {
        const Json& list = arrayAt(*args, where + ".args");
        for (std::size_t i = 0; i < list.size(); ++i) {
          step.args.push_back(variantFromJson(list[i], where + ".args[" + std::to_string(i) + "]"));
        }
      }
      break;
    case StepKind::Get:
    case StepKind::Exec:
    case StepKind::Open:
      break;
  }
  return step;
}

}  // namespace

Variant variantFromJson(const Json& v, const std::string& where) {
  switch (v.type()) {
    case Json::value_t::string:
      return Variant(v.get<std::string>());
    case Json::value_t::boolean:
      return Variant(v.get<bool>());
    case Json::value_t::null:
      return Variant::null();
    case Json::value_t::number_integer: {
      auto n = v.get<std::int64_t>();
      if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(n));
      }
      return Variant(n);
    }
    case Json::value_t::number_unsigned: {
      auto n = v.get<std::uint64_t>();
      if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return Variant(static_cast<std::int32_t>(n));
      }
      if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Variant(static_cast<std::int64_t>(n));
      }
      fail(where, "integer " + v.dump() + " does not fit in 64 bits");
    }
    case Json::value_t::number_float:
      return Variant(v.get<double>());
    case Json::value_t::object: {
      if (v.size() == 1) {
        if (const Json* e = member(v, "empty")) {
          if (e->is_boolean() && e->get<bool>()) return Variant::empty();
          fail(where, "Empty is written {\"empty\": true}");
        }
        if (const Json* d = member(v, "date")) {
          std::string text = stringAt(*d, where + ".date");
          auto date = Date::parse(text);
          if (!date) fail(where + ".date", "'" + text + "' is not a date yyyy-mm-dd hh:mm:ss");
          return Variant(*date);
        }
      }
      fail(where,
           "an object value is {\"empty\": true} or {\"date\": \"yyyy-mm-dd hh:mm:ss\"}, not " + v.dump());
    }
    default:
      fail(where, std::string("a value cannot be ") + typeName(v));
  }
}

Json variantToJson(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      return Json{{"empty", true}};
    case VarType::Null:
      return Json(nullptr);
    case VarType::Boolean:
      return Json(v.boolean());
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      return Json(v.integer());
    case VarType::Double:
      return Json(v.dbl());
    case VarType::Date:
      return Json{{"date", v.date().storageText()}};
    case VarType::String:
      return Json(v.str());
    case VarType::Object:
      return Json{{"object", v.object() != nullptr}};
  }
  return Json(nullptr);
}

Script parseScript(const Json& doc, const std::filesystem::path& scriptFolder) {
  requireObject(doc, "script");
  Script script;
  script.site = scriptFolder;
  if (const Json* site = member(doc, "site")) {
    std::string folder = stringAt(*site, "site");
    if (folder.empty()) fail("site", "must not be empty");
    script.site = scriptFolder / folder;  // an absolute folder replaces the base
  }

  if (const Json* setup = member(doc, "setup")) {
    const Json& list = arrayAt(*setup, "setup");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string where = "setup[" + std::to_string(i) + "]";
      requireObject(list[i], where);
      SetupEntry entry;
      const Json* database = member(list[i], "database");
      if (!database) fail(where, "a setup entry needs a database");
      entry.database = stringAt(*database, where + ".database");
      if (entry.database.empty()) fail(where + ".database", "must not be empty");
      if (const Json* sql = member(list[i], "sql")) {
        const Json& statements = arrayAt(*sql, where + ".sql");
        for (std::size_t j = 0; j < statements.size(); ++j) {
          entry.statements.push_back(stringAt(statements[j], where + ".sql[" + std::to_string(j) + "]"));
        }
      }
      script.setup.push_back(std::move(entry));
    }
  }

  if (const Json* pages = member(doc, "pages")) {
    const Json& list = arrayAt(*pages, "pages");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string where = "pages[" + std::to_string(i) + "]";
      requireObject(list[i], where);
      PageScript page;
      if (const Json* request = member(list[i], "request"))
        page.request = parseRequest(*request, where + ".request");
      if (const Json* calls = member(list[i], "calls")) {
        const Json& steps = arrayAt(*calls, where + ".calls");
        for (std::size_t j = 0; j < steps.size(); ++j) {
          page.steps.push_back(parseStep(steps[j], where + ".calls[" + std::to_string(j) + "]"));
        }
      }
      script.pages.push_back(std::move(page));
    }
  }
  return script;
}

}  // namespace kvdn::page_tool
