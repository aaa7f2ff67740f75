#include "datasources/alias_config.h"

#include "base/errors.h"
#include "base/cp1251.h"
#include "platform/file.h"

namespace ulmar {
namespace {

// A whole (small) file's contents. Raises InOutError.
std::string ReadWholeFile(const std::string& path) {
  File file = File::OpenForRead(path);
  std::string text;
  char block[65536];
  for (;;) {
    size_t n = file.Read(block, sizeof block);
    if (n == 0) break;
    text.append(block, n);
  }
  return text;
}

struct Alias {
  std::string name;
  std::vector<std::string> params;  // NAME=value, TYPE included
  bool persistent = true;           // from or for the file; else the session's
};

bool IsStandard(const Alias& alias) {
  for (const std::string& p : alias.params) {
    if (SameTextCp1251(p.substr(0, 5), "TYPE=")) return SameTextCp1251(p.substr(5), "STANDARD");
  }
  return true;
}

class FileAliasConfig : public AliasConfig {
 public:
  explicit FileAliasConfig(std::string path) : path_(std::move(path)) {}

  std::vector<std::string> AliasNames() override {
    Load();
    std::vector<std::string> names;
    for (const Alias& a : aliases_) names.push_back(a.name);
    return names;
  }

  std::vector<std::string> AliasParams(const std::string& name) override {
    Load();
    for (const Alias& a : aliases_) {
      if (!SameTextCp1251(a.name, name)) continue;
      std::vector<std::string> params;
      bool standard = IsStandard(a);
      for (const std::string& p : a.params) {
        if (standard && SameTextCp1251(p.substr(0, 5), "TYPE=")) continue;
        params.push_back(p);
      }
      return params;
    }
    throw EngineError("Alias not found: " + name);
  }

  void SetMode(Mode mode) override { mode_ = mode; }

  bool IsDefined(const std::string& name) override {
    Load();
    return Find(name) != aliases_.end();
  }

  void DeleteAlias(const std::string& name) override {
    Load();
    auto it = Find(name);
    if (it == aliases_.end()) throw EngineError("Alias not found: " + name);
    aliases_.erase(it);
  }

  void AddStandardAlias(const std::string& name, const std::string& path, const std::string& driver) override {
    Load();
    if (name.empty() || name.find_first_of("[]\r\n") != std::string::npos) throw EngineError("Invalid alias name: " + name);
    if (path.find_first_of("\r\n") != std::string::npos) throw EngineError("Invalid alias path: " + path);
    if (IsDefined(name)) throw EngineError("Alias already exists: " + name);
    aliases_.push_back({name, {"TYPE=STANDARD", "PATH=" + path, "ENABLE BCD=FALSE", "DEFAULT DRIVER=" + driver},
                        mode_ == Mode::Persistent});
  }

  void Save() override {
    Load();
    std::string text = "; Database engine aliases (UlmarUpdater), code page 1251\r\n";
    for (const Alias& a : aliases_) {
      if (!a.persistent) continue;
      text += "[" + a.name + "]\r\n";
      for (const std::string& p : a.params) text += p + "\r\n";
    }
    const std::string partial = path_ + ".saving";
    try {
      File file = File::CreateForWrite(partial);
      file.Write(text);
      file.Close();
      ReplaceFileWith(partial, path_);
    } catch (const Exception& e) {
      DeleteFileAt(partial);
      throw EngineError("Cannot save the alias configuration " + path_ + ": " + e.Message());
    }
  }

 private:
  void Load() {
    if (loaded_) return;
    std::string text;
    if (FileExists(path_)) {
      try {
        text = ReadWholeFile(path_);
      } catch (const Exception& e) {
        throw EngineError("Cannot read the alias configuration " + path_ + ": " + e.Message());
      }
    }
    Parse(text);
    loaded_ = true;
  }

  void Parse(const std::string& text) {
    size_t number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      pos = end + 1;
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == ';') continue;
      if (line.front() == '[' && line.back() == ']' && line.size() > 2) {
        std::string name = line.substr(1, line.size() - 2);
        for (const Alias& a : aliases_) {
          if (SameTextCp1251(a.name, name)) RejectLine(number, "alias defined twice");
        }
        aliases_.push_back({name, {}});
      } else if (line.find('=') != std::string::npos && line[0] != '=') {
        if (aliases_.empty()) RejectLine(number, "parameter outside an alias");
        aliases_.back().params.push_back(line);
      } else {
        RejectLine(number, "not an alias or a parameter");
      }
    }
  }

  [[noreturn]] void RejectLine(size_t line, const char* what) {
    aliases_.clear();
    throw EngineError("Invalid alias configuration " + path_ + ", line " + std::to_string(line) + ": " + what);
  }

  std::vector<Alias>::iterator Find(const std::string& name) {
    for (auto it = aliases_.begin(); it != aliases_.end(); ++it) {
      if (SameTextCp1251(it->name, name) && (mode_ == Mode::All || it->persistent)) return it;
    }
    return aliases_.end();
  }

  std::string path_;
  Mode mode_ = Mode::All;
  bool loaded_ = false;
  std::vector<Alias> aliases_;
};

}  // namespace

std::unique_ptr<AliasConfig> MakeFileAliasConfig(const std::string& path) {
  return std::make_unique<FileAliasConfig>(path);
}

}  // namespace ulmar
