// The database file's lifecycle: create, back up, restore, compact. None of
// these touches `conn`; all of them work on the file `database` names.
#include <string>

#include "helpers/trap.h"
#include "kvdn/db_class.h"
#include "kvdn/files.h"
#include "maintenance/error_record.h"

namespace kvdn {

using maintenance::ErrorRecord;
using maintenance::need;

namespace {

constexpr const char* kCreateFailed = "无法建立，请检查错误信息<br>";
constexpr const char* kBackupFailed = "数据库备份失败！<br>";
constexpr const char* kRestoreFailed = "数据库恢复失败！<br>";
constexpr const char* kCompactFailed = "数据库压缩失败！<br>";
constexpr const char* kJetPrefix = "Provider=Microsoft.Jet.OLEDB.4.0; Data source=";

// Two digits: the last two characters of value + 100.
std::string twoDigits(int value) {
  std::string text = std::to_string(value + 100);
  return text.substr(text.size() - 2);
}

void requireFile(FileSystemObject& fso, const std::string& path) {
  if (!fso.fileExists(path)) raise(err::kFileNotFound, "File not found: " + path);
}

// A backup is named inside the folder database; anything that could lead
// out of it (or is no name at all) is refused before any path is built.
bool isPlainFileName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
         name.find("..") == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

Variant DbClass::createDBfile() {
  // Not trapped: creating the file-system object and mapping the path.
  auto fso = create<FileSystemObject>("Scripting.FileSystemObject");
  const std::string path = server().mapPath(database.joinText());
  if (fso->fileExists(path)) {
    response().write("对不起，该数据库已经存在!" + database.joinText());
    response().end();
    return Variant(false);
  }

  ErrorRecord errors;
  std::shared_ptr<Catalog> catalog;
  errors.step([&] { catalog = create<Catalog>("ADOX.Catalog"); });
  if (errors.failed()) {
    errors.report(response(), kCreateFailed);
    return Variant(false);
  }
  errors.step([&] { need(catalog).create("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path); });
  catalog.reset();

  // Success is a database file that exists now, not merely a call made.
  bool exists = false;
  errors.step([&] { exists = fso->fileExists(path); });
  if (!errors.failed() && !exists) errors.record(err::kDbFail, "The database file was not created: " + path);
  if (errors.failed()) {
    errors.report(response(), kCreateFailed);
    return Variant(false);
  }
  return Variant(true);
}

Variant DbClass::backupDBfile() {
  ErrorRecord errors;
  std::string backup;
  errors.step([&] {
    const Date::Parts today = now().parts();
    backup = server().mapPath("database\\#" + std::to_string(today.year) + twoDigits(today.month) +
                              twoDigits(today.day) + ".bak");
  });
  std::shared_ptr<FileSystemObject> fso;
  errors.step([&] { fso = create<FileSystemObject>("scripting.filesystemobject"); });
  errors.step([&] {
    const std::string live = server().mapPath(database.joinText());
    requireFile(need(fso), live);
    // The copy goes through the engine's online backup: a plain file copy
    // taken while a page writes can catch half a transaction.
    create<JetEngine>("JRO.JetEngine")->backupDatabase(live, backup);
  });
  if (errors.failed()) {
    errors.report(response(), kBackupFailed);
    return Variant(false);
  }
  return Variant(true);
}

Variant DbClass::recoveryDBfile(const Variant& bakName) {
  ErrorRecord errors;
  std::string name;
  bool acceptable = false;
  errors.step([&] {
    name = bakName.joinText();
    if (!isPlainFileName(name)) {
      raise(err::kInvalidCall,
            "Invalid procedure call or argument: the backup name must be a file name in the folder database, "
            "without \"/\", \"\\\" or \"..\"");
    }
    acceptable = true;
  });
  if (!acceptable) {
    errors.report(response(), kRestoreFailed);
    return Variant(false);
  }

  std::shared_ptr<FileSystemObject> fso;
  errors.step([&] { fso = create<FileSystemObject>("scripting.filesystemobject"); });
  std::string backup;
  std::string live;
  errors.step([&] {
    backup = server().mapPath("database\\" + name);
    live = server().mapPath(database.joinText());
  });
  errors.step([&] {
    requireFile(need(fso), backup);
    // Written into the live database under its own locks: pages holding it
    // open see the old content or the restored one, never a mixture.
    create<JetEngine>("JRO.JetEngine")->restoreDatabase(backup, live);
  });
  if (errors.failed()) {
    errors.report(response(), kRestoreFailed);
    return Variant(false);
  }
  return Variant(true);
}

Variant DbClass::compactDBfile() {
  ErrorRecord errors;
  std::shared_ptr<FileSystemObject> fso;
  std::shared_ptr<JetEngine> engine;
  errors.step([&] { fso = create<FileSystemObject>("Scripting.FileSystemObject"); });
  errors.step([&] { engine = create<JetEngine>("JRO.JetEngine"); });
  std::string live;
  std::string work;
  errors.step([&] {
    live = server().mapPath(database.joinText());
    work = server().mapPath(database.joinText() + ".compact");
  });
  // The file is compacted in place, under the database's own exclusive lock.
  // Compacting into a work file and copying that back lost every write
  // committed between the two steps, and two compactions at once shared
  // (and deleted) one work file. A work file left by an older version is
  // only removed; whether that succeeds changes nothing.
  if (fso && !work.empty()) {
    trap::keepGoing([&] {
      if (fso->fileExists(work)) fso->deleteFile(work);
    });
  }
  errors.step([&] { need(engine).compactInPlace(live); });
  engine.reset();
  fso.reset();
  if (errors.failed()) {
    errors.report(response(), kCompactFailed);
    return Variant(false);
  }
  return Variant(true);
}

}  // namespace kvdn
