#include "platform/alias_config.h"

#include "log/errors.h"
#include "platform/cp1251.h"
#include "platform/file.h"

namespace ulmar {
namespace {

struct Alias {
  std::string name;
  std::vector<std::string> params;  // NAME=value, TYPE included
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
          if (SameTextCp1251(a.name, name)) Fail(number, "alias defined twice");
        }
        aliases_.push_back({name, {}});
      } else if (line.find('=') != std::string::npos && line[0] != '=') {
        if (aliases_.empty()) Fail(number, "parameter outside an alias");
        aliases_.back().params.push_back(line);
      } else {
        Fail(number, "not an alias or a parameter");
      }
    }
  }

  [[noreturn]] void Fail(size_t line, const char* what) {
    aliases_.clear();
    throw EngineError("Invalid alias configuration " + path_ + ", line " + std::to_string(line) + ": " + what);
  }

  std::string path_;
  bool loaded_ = false;
  std::vector<Alias> aliases_;
};

}  // namespace

std::unique_ptr<AliasConfig> MakeFileAliasConfig(const std::string& path) {
  return std::make_unique<FileAliasConfig>(path);
}

}  // namespace ulmar
