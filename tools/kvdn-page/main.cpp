// kvdn-page: runs page requests from a JSON script against the component in
// the in-memory host and prints one JSON document with what each page saw.
//
//   kvdn-page [--registry FILE] SCRIPT.json
//
// One script a run (a second one is refused as bad usage). --registry FILE:
// create classes from the libraries named in a registry file (as written by
// DllRegisterServer) instead of the copy linked in.
//
// Exit status: 0 when the script ran (failing steps included), 2 for a
// script that cannot run as written (unreadable, not JSON, wrong shape, a
// setup statement refused), 1 for anything unexpected.
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "kvdn/error.h"
#include "kvdn/memory_host.h"
#include "loader.h"
#include "runner.h"
#include "script.h"

namespace {

constexpr int kBadInput = 2;

void printUsage(std::ostream& out) {
  out << "usage: kvdn-page [--registry FILE] SCRIPT.json\n"
         "  Runs the page requests of one script against the component and prints one JSON\n"
         "  document with what each page saw (see the README). One script a run: run it again\n"
         "  for another. The pages' site folder is the script's \"site\" (relative to the\n"
         "  script's folder), else the script's folder itself.\n"
         "  --registry FILE  create the classes from the shared libraries that a registry file\n"
         "                   (as DllRegisterServer writes it) names, instead of the copy built in\n"
         "  --help, --version\n";
}

int usage() {
  printUsage(std::cerr);
  return kBadInput;
}

int run(int argc, char** argv) {
  using kvdn::page_tool::ScriptError;
  std::string scriptArg;
  std::string registryFile;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printUsage(std::cout);
      return 0;
    } else if (arg == "--version") {
      std::cout << "kvdn-page " KVDN_VERSION "\n";
      return 0;
    } else if (arg == "--registry" && i + 1 < argc) {
      registryFile = argv[++i];
    } else if (arg.rfind("--registry=", 0) == 0) {
      registryFile = arg.substr(11);
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      std::cerr << "kvdn-page: unknown option " << arg << "\n";
      return usage();
    } else if (scriptArg.empty()) {
      scriptArg = arg;
    } else {
      std::cerr << "kvdn-page: one script a run (" << scriptArg << " and " << arg
                << "): run kvdn-page once for each\n";
      return usage();
    }
  }
  if (scriptArg.empty()) return usage();

  const std::filesystem::path scriptPath = scriptArg;
  std::ifstream in(scriptPath, std::ios::binary);
  std::error_code ec;
  if (!in || std::filesystem::is_directory(scriptPath, ec)) {
    std::cerr << "kvdn-page: cannot read the script " << scriptPath << "\n";
    return kBadInput;
  }
  std::ostringstream text;
  text << in.rdbuf();

  kvdn::page_tool::Json document;
  try {
    document = kvdn::page_tool::Json::parse(text.str());
  } catch (const nlohmann::json::parse_error& e) {
    std::cerr << "kvdn-page: " << scriptPath.string() << " is not valid JSON: " << e.what() << "\n";
    return kBadInput;
  }

  try {
    std::filesystem::path folder = std::filesystem::absolute(scriptPath).parent_path();
    auto script = kvdn::page_tool::parseScript(document, folder);
    std::filesystem::create_directories(script.site, ec);
    if (!std::filesystem::is_directory(script.site)) {
      throw ScriptError("site: " + script.site.string() + " is not a folder");
    }
    kvdn::page_tool::runSetup(script);

    kvdn::MemoryHost host(script.site);
    if (!registryFile.empty()) {
      if (!std::filesystem::exists(registryFile, ec)) {
        throw ScriptError("--registry: " + registryFile + " does not exist");
      }
      kvdn::com::registerFromRegistryFile(host.classes(), registryFile);
    }
    auto output = kvdn::page_tool::runPages(script, host, std::cerr);
    // Replace bytes that are not UTF-8 instead of failing on them: the
    // response is whatever the component wrote.
    std::cout << output.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
  } catch (const ScriptError& e) {
    std::cerr << "kvdn-page: " << scriptPath.string() << ": " << e.what() << "\n";
    return kBadInput;
  } catch (const kvdn::ComError& e) {
    std::cerr << "kvdn-page: " << e.number() << " " << e.description() << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kvdn-page: " << e.what() << "\n";
    return 1;
  }
}
