#include "runner.h"

#include <sqlite3.h>

#include <exception>
#include <ostream>

#include "kvdn/data.h"
#include "kvdn/error.h"

namespace kvdn::page_tool {

namespace {

Json errorJson(std::int32_t number, const std::string& description) {
  return Json{{"number", number}, {"description", description}};
}

Json argsJson(const std::vector<Variant>& args) {
  Json out = Json::array();
  for (const auto& a : args) out.push_back(variantToJson(a));
  return out;
}

// The object's connection, for exec steps.
std::shared_ptr<Connection> connectionOf(Object& db) {
  Variant conn = db.getProperty("conn");
  if (!conn.isObject() || !conn.object()) raise(err::kObjectNotSet);
  auto typed = std::dynamic_pointer_cast<Connection>(conn.object());
  if (!typed) raise(err::kTypeMismatch);
  return typed;
}

Json runStep(Object& db, const Step& step, ScriptingContext& context) {
  std::vector<Variant> args = step.args;
  Json result = Json::object();
  try {
    Variant value;
    switch (step.kind) {
      case StepKind::Set:
        db.setProperty(step.name, step.value);
        break;
      case StepKind::Get:
        value = db.getProperty(step.name);
        break;
      case StepKind::Call:
        value = db.invoke(step.name, args);
        break;
      case StepKind::Exec:
        connectionOf(db)->execute(step.name);
        break;
      case StepKind::Open: {
        // As a page hands the object a connection it opened itself.
        ObjectPtr conn = context.server()->createObject("adodb.Connection");
        auto typed = std::dynamic_pointer_cast<Connection>(conn);
        if (!typed) raise(err::kTypeMismatch);
        typed->open(step.name);
        db.setProperty("conn", Variant(conn));
        break;
      }
    }
    result["value"] = variantToJson(value);
  } catch (const ComError& e) {
    result["error"] = errorJson(e.number(), e.description());
  } catch (const std::exception& e) {
    result["error"] =
        errorJson(err::kUnexpected, std::string(standardDescription(err::kUnexpected)) + ": " + e.what());
  }
  if (step.kind == StepKind::Call) result["args"] = argsJson(args);
  return result;
}

}  // namespace

void runSetup(const Script& script) {
  for (std::size_t i = 0; i < script.setup.size(); ++i) {
    const SetupEntry& entry = script.setup[i];
    const std::string where = "setup[" + std::to_string(i) + "]";
    std::filesystem::path file;
    try {
      file = mapVirtualPath(script.site, "/", entry.database);
    } catch (const ComError& e) {
      throw ScriptError(where + ".database: " + e.description());
    }
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec)
      throw ScriptError(where + ": cannot create the folder " + file.parent_path().string() + ": " +
                        ec.message());

    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      std::string why = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      throw ScriptError(where + ": cannot open " + file.string() + ": " + why);
    }
    for (std::size_t j = 0; j < entry.statements.size(); ++j) {
      char* message = nullptr;
      if (sqlite3_exec(db, entry.statements[j].c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string why = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        sqlite3_close(db);
        throw ScriptError(where + ".sql[" + std::to_string(j) + "]: " + why);
      }
    }
    sqlite3_close(db);
  }
}

Json runPages(const Script& script, MemoryHost& host, std::ostream& diagnostics) {
  Json pages = Json::array();
  for (std::size_t i = 0; i < script.pages.size(); ++i) {
    const PageScript& page = script.pages[i];
    auto context = host.newPage(page.request);
    Json out = Json::object();
    Json results = Json::array();

    ObjectPtr db;
    try {
      db = context->server()->createObject("kvdnAspDll.dbClass");
      if (!db) raise(err::kCannotCreate);
      std::vector<Variant> bind{Variant(context)};
      db->invoke("OnStartPage", bind);
    } catch (const ComError& e) {
      out["error"] = errorJson(e.number(), e.description());
      db.reset();
    } catch (const std::exception& e) {
      out["error"] =
          errorJson(err::kUnexpected, std::string(standardDescription(err::kUnexpected)) + ": " + e.what());
      diagnostics << "kvdn-page: pages[" << i << "]: " << e.what() << "\n";
      db.reset();
    }

    if (db) {
      for (const Step& step : page.steps) {
        if (context->ended()) break;
        results.push_back(runStep(*db, step, *context));
        if (results.back().contains("error") && results.back()["error"]["number"] == err::kUnexpected) {
          diagnostics << "kvdn-page: pages[" << i << "]: " << step.name << ": "
                      << results.back()["error"]["description"].get<std::string>() << "\n";
        }
      }
      try {
        std::vector<Variant> none;
        db->invoke("OnEndPage", none);
      } catch (const ComError& e) {
        diagnostics << "kvdn-page: pages[" << i << "]: OnEndPage failed: " << e.number() << " "
                    << e.description() << "\n";
      } catch (const std::exception& e) {
        diagnostics << "kvdn-page: pages[" << i << "]: OnEndPage failed: " << e.what() << "\n";
      }
    }

    out["results"] = std::move(results);
    out["response"] = context->output();
    out["ended"] = context->ended();
    pages.push_back(std::move(out));
  }
  return Json{{"pages", std::move(pages)}};
}

}  // namespace kvdn::page_tool
