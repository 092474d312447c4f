#include "host/registration.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/ascii.h"
#include "common/error.h"
#include "server/type_library.h"

namespace orvala::host {
namespace {

using registry::Root;

constexpr const char* kCategory = "{13E85B3C-9508-11D2-AB63-00C04FA35CFA}";
constexpr const char* kCategoryDescription = "Provider Application Servers";
constexpr const char* kEntryFailed = "Error creating system registry entry";

std::string Clsid() { return server::Library().clsid.ToString(); }
std::string Libid() { return server::Library().libid.ToString(); }
std::string ClassKey() { return "CLSID\\" + Clsid(); }
std::string TypeLibKey() {
  return "TypeLib\\" + Libid() + "\\" + std::to_string(server::Library().major) + "." +
         std::to_string(server::Library().minor);
}

struct Entry {
  std::string key;
  std::string value_name;  // "" is the default value
  std::string data;
};

std::string ValueLabel(const std::string& name) {
  return name.empty() ? "(default)" : "\"" + name + "\"";
}

// Writes the entries and notes each one in the report, so that the
// operator learns what was written, also before a failing entry.
class EntryWriter {
 public:
  EntryWriter(const registry::Registry& registry, RegistrationReport* report)
      : registry_(registry), report_(report) {
    if (report_) report_->hive = registry.File(Root::kClassesRoot).path();
  }

  void Write(const Entry& entry) {
    try {
      auto key = registry_.CreateKey(Root::kClassesRoot, entry.key);
      if (!key) throw Error(ErrorKind::RegistryEntry, kEntryFailed);
      key->SetValue(entry.value_name, registry::Value::Text(entry.data));
    } catch (const Error&) {
      throw Error(ErrorKind::RegistryEntry, kEntryFailed);
    }
    if (report_) {
      report_->changes.push_back(entry.key + ": " + ValueLabel(entry.value_name) + " = \"" +
                                 entry.data + "\"");
    }
  }

  void Delete(const std::string& key) {
    try {
      if (registry_.DeleteKey(Root::kClassesRoot, key) && report_) report_->changes.push_back(key);
    } catch (const Error&) {
      // passed over silently
    }
  }

  void DeleteValue(const std::string& key, const char* name) {
    try {
      auto k = registry_.OpenKey(Root::kClassesRoot, key);
      if (k && k->DeleteValue(name) && report_) {
        report_->changes.push_back(key + ": " + ValueLabel(name));
      }
    } catch (const Error&) {
    }
  }

 private:
  const registry::Registry& registry_;
  RegistrationReport* report_;
};

bool IsSwitch(const char* arg, const char* name) {
  if (arg[0] != '-' && arg[0] != '/') return false;
  return EqualsIgnoreCase(arg + 1, name);
}

}  // namespace

StartMode ParseStartMode(int argc, const char* const argv[]) {
  auto any = [&](std::initializer_list<const char*> names) {
    for (int i = 1; i < argc; ++i) {
      for (const char* name : names) {
        if (IsSwitch(argv[i], name)) return true;
      }
    }
    return false;
  };
  if (any({"AUTOMATION", "EMBEDDING"})) return StartMode::ByCom;
  if (any({"REGSERVER"})) return StartMode::RegisterAndEnd;
  if (any({"UNREGSERVER"})) return StartMode::UnregisterAndEnd;
  return StartMode::ByHand;
}

void RegisterServer(const registry::Registry& registry, const std::filesystem::path& executable,
                    RegistrationReport* report) {
  const server::LibraryInfo& lib = server::Library();
  EntryWriter writer(registry, report);
  // The type library: its name, the executable that holds it and its folder
  // as the help folder.
  try {
    for (const Entry& e : std::vector<Entry>{
             {TypeLibKey(), "", lib.help_string},
             {TypeLibKey() + "\\0\\linux", "", executable.string()},
             {TypeLibKey() + "\\FLAGS", "", "0"},
             {TypeLibKey() + "\\HELPDIR", "", executable.parent_path().string()},
         }) {
      writer.Write(e);
    }
  } catch (const Error&) {
    throw Error("Error registering type library " + std::string(lib.name));
  }

  char version[32];
  std::snprintf(version, sizeof version, "%d.%d", lib.major, lib.minor);
  const std::vector<Entry> factory_entries = {
      {ClassKey(), "", lib.class_help},
      {ClassKey() + "\\LocalServer32", "", executable.string()},
      {lib.prog_id, "", lib.class_help},
      {std::string(lib.prog_id) + "\\Clsid", "", Clsid()},
      {ClassKey() + "\\ProgID", "", lib.prog_id},
      {ClassKey() + "\\Version", "", version},
      {ClassKey() + "\\TypeLib", "", Libid()},
  };
  for (const Entry& e : factory_entries) writer.Write(e);

  // The category, written directly, then the entries that read back the
  // class description.
  writer.Write({std::string("Component Categories\\") + kCategory, "409", kCategoryDescription});
  writer.Write({ClassKey() + "\\Implemented Categories\\" + kCategory, "", ""});
  std::string description = lib.class_help;
  if (auto key = registry.OpenKey(Root::kClassesRoot, ClassKey())) {
    if (auto v = key->GetValue("")) description = v->data();
  }
  writer.Write({"AppID\\" + Clsid(), "", description});
  writer.Write({ClassKey(), "AppID", Clsid()});
  writer.Write({ClassKey(), "Sockets", "1"});
  writer.Write({ClassKey(), "Web", "1"});
}

void UnregisterServer(const registry::Registry& registry, RegistrationReport* report) {
  EntryWriter writer(registry, report);
  for (const char* sub : {"\\0\\linux", "\\0", "\\FLAGS", "\\HELPDIR", ""}) {
    writer.Delete(TypeLibKey() + sub);
  }
  writer.Delete("TypeLib\\" + Libid());
  writer.DeleteValue(ClassKey(), "Sockets");
  writer.DeleteValue(ClassKey(), "Web");
  writer.Delete(ClassKey() + "\\Implemented Categories\\" + kCategory);
  writer.Delete(ClassKey() + "\\Implemented Categories");
  writer.Delete("AppID\\" + Clsid());
  for (const char* sub : {"\\TypeLib", "\\Version", "\\ProgID"}) writer.Delete(ClassKey() + sub);
  writer.Delete(std::string(server::Library().prog_id) + "\\Clsid");
  writer.Delete(server::Library().prog_id);
  writer.Delete(ClassKey() + "\\LocalServer32");
  writer.Delete(ClassKey());
}

}  // namespace orvala::host
