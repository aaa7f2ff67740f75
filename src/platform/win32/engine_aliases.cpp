// The alias configuration of the Borland Database Engine installed on this
// workstation, through the engine's own API (idapi.h). The engine's library
// is loaded from the folder its installer names in the registry, when first
// needed, so the program runs on a workstation without the engine and each
// operation then fails with an EngineError saying why.
//
// The engine keeps alias names and paths in the OEM code page (its
// documentation: "local file names and pathnames, local user names and
// database aliases" are in the DOS code page), so texts are converted to
// OEM on the way in and back to ANSI (code page 1251) on the way out. Its
// error messages are ANSI already.
#include <windows.h>

#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/errors.h"
#include "platform/alias_config.h"
#include "platform/registry.h"
#include "platform/system_error.h"
#include "platform/win32/idapi.h"

namespace ulmar {
namespace {

// Where the engine's installer registers itself (a 32-bit program reads the
// 32-bit view, as the installer wrote it).
constexpr char kEngineKey[] = "SOFTWARE\\Borland\\Database Engine";
constexpr char kLibraryName[] = "IDAPI32.DLL";

std::string ToOem(const std::string& ansi) {
  std::string oem(ansi.size(), '\0');
  if (!ansi.empty()) CharToOemBuffA(ansi.data(), oem.data(), static_cast<DWORD>(ansi.size()));
  return oem;
}

// A fixed field of the engine's, cut at its first zero, in ANSI.
template <size_t N>
std::string FromOem(const char (&field)[N]) {
  std::string oem(field, strnlen(field, N));
  std::string ansi(oem.size(), '\0');
  if (!oem.empty()) OemToCharBuffA(oem.data(), ansi.data(), static_cast<DWORD>(oem.size()));
  return ansi;
}

// The engine's functions the bridge calls, each looked up by its
// undecorated name.
#define ULMAR_ENGINE_CALLS(X)                                                                                       \
  X(DbiInitFn) X(DbiExit) X(DbiGetCurrSession) X(DbiSetProp) X(DbiOpenDatabaseList) X(DbiGetNextRecord)             \
  X(DbiCloseCursor) X(DbiOpenCfgInfoList) X(DbiCfgPosition) X(DbiAddAlias) X(DbiDeleteAlias) X(DbiCfgSave)          \
  X(DbiGetErrorString)

struct Api {
#define ULMAR_ENGINE_POINTER(name) decltype(&idapi::name) name = nullptr;
  ULMAR_ENGINE_CALLS(ULMAR_ENGINE_POINTER)
#undef ULMAR_ENGINE_POINTER
};

class EngineAliasConfig : public AliasConfig {
 public:
  EngineAliasConfig() = default;
  EngineAliasConfig(const EngineAliasConfig&) = delete;
  EngineAliasConfig& operator=(const EngineAliasConfig&) = delete;

  ~EngineAliasConfig() override {
    if (initialised_) api_.DbiExit();
    if (library_) FreeLibrary(library_);
  }

  std::vector<std::string> AliasNames() override {
    Reach();
    std::vector<std::string> names;
    idapi::DBDesc desc{};
    Cursor cursor(*this);
    Check(api_.DbiOpenDatabaseList(&cursor.handle));
    while (cursor.Next(&desc)) names.push_back(FromOem(desc.szName));
    return names;
  }

  std::vector<std::string> AliasParams(const std::string& name) override {
    Reach();
    // A standard alias's entries, TYPE first; other kinds of alias keep
    // their TYPE here too and their server's settings elsewhere.
    std::string path = "\\DATABASES\\" + ToOem(name) + "\\DB INFO";
    std::vector<std::string> params;
    idapi::CFGDesc entry{};
    Cursor cursor(*this);
    // The engine lists the configuration file's aliases and the session's
    // own alike, but keeps their entries apart: one the file does not hold
    // is looked for among the session's.
    idapi::DBIResult result =
        api_.DbiOpenCfgInfoList(nullptr, idapi::dbiREADONLY, idapi::cfgPersistent, path.data(), &cursor.handle);
    if (result == idapi::DBIERR_OBJNOTFOUND) {
      result = api_.DbiOpenCfgInfoList(nullptr, idapi::dbiREADONLY, idapi::cfgSession, path.data(), &cursor.handle);
    }
    Check(result);
    while (cursor.Next(&entry)) {
      std::string node = FromOem(entry.szNodeName);
      std::string value = FromOem(entry.szValue);
      if (SameTextCp1251(node, "TYPE") && SameTextCp1251(value, "STANDARD")) continue;
      params.push_back(node + "=" + value);
    }
    return params;
  }

  void SetMode(Mode mode) override {
    Reach();
    Check(api_.DbiSetProp(session_, idapi::sesCFGMODE2,
                          mode == Mode::Persistent ? idapi::cfgmPersistent : idapi::cfgmAll));
    mode_ = mode;
  }

  bool IsDefined(const std::string& name) override {
    Reach();
    std::string path = "\\DATABASES\\" + ToOem(name);
    idapi::DBIResult result = api_.DbiCfgPosition(nullptr, path.data());
    if (result == idapi::DBIERR_OBJNOTFOUND) return false;
    Check(result);
    return true;
  }

  void DeleteAlias(const std::string& name) override {
    Reach();
    std::string oem = ToOem(name);
    Check(api_.DbiDeleteAlias(nullptr, oem.data()));
  }

  void AddStandardAlias(const std::string& name, const std::string& path, const std::string& driver) override {
    Reach();
    // The value is quoted, as a path may hold the list's separator; a path
    // cannot hold a quotation mark.
    if (path.find('"') != std::string::npos) throw EngineError("Invalid alias path: " + path);
    std::string oem_name = ToOem(name);
    std::string oem_driver = ToOem(driver);
    std::string params = "PATH:\"" + ToOem(path) + "\"";
    Check(api_.DbiAddAlias(nullptr, oem_name.data(), oem_driver.data(), params.data(),
                           mode_ == Mode::Persistent ? TRUE : FALSE));
  }

  void Save() override {
    Reach();
    // As the engine's own tools save it: the format both the 16-bit and the
    // 32-bit engine read.
    Check(api_.DbiCfgSave(nullptr, nullptr, TRUE));
  }

 private:
  // A cursor of the engine's, closed when it goes.
  struct Cursor {
    explicit Cursor(EngineAliasConfig& owner) : owner(owner) {}
    ~Cursor() {
      if (handle) owner.api_.DbiCloseCursor(&handle);
    }
    // The next row into record; false after the last.
    bool Next(void* record) {
      idapi::DBIResult result = owner.api_.DbiGetNextRecord(handle, idapi::dbiNOLOCK, record, nullptr);
      if (result == idapi::DBIERR_EOF) return false;
      owner.Check(result);
      return true;
    }
    EngineAliasConfig& owner;
    idapi::hDBICur handle = nullptr;
  };

  // Loads the engine and opens its default session, once; a failure is
  // tried again at the next operation.
  void Reach() {
    if (initialised_) return;
    if (!library_) Load();
    idapi::DBIResult result = api_.DbiInitFn(idapi::DBIINTFVER, nullptr);
    if (result != idapi::DBIERR_MULTIPLEINIT) Check(result);
    result = api_.DbiGetCurrSession(&session_);
    if (result != idapi::DBIERR_NONE) {
      api_.DbiExit();
      Check(result);
    }
    initialised_ = true;
  }

  void Load() {
    std::string folders;
    try {
      std::unique_ptr<Registry> registry = MakeSystemRegistry();
      std::unique_ptr<RegistryKey> key = registry->Open(RegistryRoot::LocalMachine, kEngineKey, RegistryAccess::Read);
      if (key) folders = key->ReadString("DLLPATH").value_or("");
    } catch (const RegistryError& e) {
      throw EngineError("The database engine's registration cannot be read: " + e.Message());
    }
    if (folders.empty()) {
      throw EngineError("The database engine is not installed on this computer (no DLLPATH under HKEY_LOCAL_MACHINE\\" +
                        std::string(kEngineKey) + ")");
    }
    // DLLPATH may name several folders, separated by semicolons.
    std::string tried;
    DWORD error = ERROR_MOD_NOT_FOUND;
    size_t start = 0;
    while (start <= folders.size() && !library_) {
      size_t end = folders.find(';', start);
      if (end == std::string::npos) end = folders.size();
      std::string folder = folders.substr(start, end - start);
      start = end + 1;
      if (folder.empty()) continue;
      if (folder.back() != '\\') folder += '\\';
      tried = folder + kLibraryName;
      // The engine's own libraries beside it are found from its folder.
      library_ = LoadLibraryExA(tried.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
      if (!library_) error = GetLastError();
    }
    if (!library_) throw EngineError("Cannot load the database engine " + tried + ": " + SystemErrorText(error));
#define ULMAR_ENGINE_RESOLVE(name) Resolve(api_.name, #name);
    ULMAR_ENGINE_CALLS(ULMAR_ENGINE_RESOLVE)
#undef ULMAR_ENGINE_RESOLVE
  }

  template <typename Function>
  void Resolve(Function& function, const char* name) {
    FARPROC address = GetProcAddress(library_, name);
    if (!address) {
      FreeLibrary(library_);
      library_ = nullptr;
      throw EngineError(std::string("The database engine's library has no function ") + name);
    }
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
  }

  // Raises the engine's error with the engine's message.
  void Check(idapi::DBIResult result) {
    if (result == idapi::DBIERR_NONE) return;
    char text[idapi::DBIMAXMSGLEN + 1] = {};
    std::string message;
    if (api_.DbiGetErrorString(result, text) == idapi::DBIERR_NONE) message.assign(text, strnlen(text, sizeof text));
    if (message.empty()) {
      char code[8];
      wsprintfA(code, "$%04X", result);
      message = "Database engine error " + std::string(code);
    }
    throw EngineError(message);
  }

  HMODULE library_ = nullptr;
  Api api_;
  bool initialised_ = false;
  idapi::hDBISes session_ = nullptr;
  // The mode last set: a persistent alias is asked for under the
  // persistent mode only.
  Mode mode_ = Mode::All;
};

}  // namespace

std::unique_ptr<AliasConfig> MakeEngineAliasConfig() { return std::make_unique<EngineAliasConfig>(); }

}  // namespace ulmar
