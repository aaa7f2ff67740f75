// An in-memory registry for tests: keys by root and path, values as typed
// entries. Key and value names compare without regard to letter case as the
// registry compares them (code page 1251: "отчёты" and "ОТЧЁТЫ" are one key).
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/errors.h"
#include "platform/registry.h"

namespace ulmar::testing {

// The registry's value types that matter to the client: only the two kinds
// of string are text; the others stand for every other type.
enum class ValueType { String, ExpandableString, MultiString, Binary, Number };

class FakeRegistry : public Registry {
 public:
  struct Value {
    ValueType type = ValueType::String;
    std::string data;  // as stored: an expandable string is never expanded
  };
  struct Key {
    std::vector<std::pair<std::string, Value>> values;
    bool writable = true;  // false: opens for reading only
    // Opens for writing, yet the system refuses every value written to it
    // (as it does once another program has deleted the key meanwhile).
    bool refuses_values = false;
  };

  static std::string Fold(const std::string& s) { return UpperCp1251(s); }
  static std::string Id(RegistryRoot root, std::string path) {
    if (!path.empty() && path[0] == '\\') path.erase(0, 1);
    return (root == RegistryRoot::LocalMachine ? "HKLM\\" : "HKCU\\") + Fold(path);
  }

  // Adds the key and, as the registry has them, its parents.
  Key& AddKey(RegistryRoot root, const std::string& path) {
    size_t slash = path.rfind('\\');
    if (slash != std::string::npos && slash > 0 && !keys_.count(Id(root, path.substr(0, slash)))) {
      AddKey(root, path.substr(0, slash));
    }
    if (!keys_.count(Id(root, path))) order_.push_back({root, path});
    return keys_[Id(root, path)];
  }
  void SetString(RegistryRoot root, const std::string& path, const std::string& name, const std::string& data) {
    Set(root, path, name, {ValueType::String, data});
  }
  void SetBinary(RegistryRoot root, const std::string& path, const std::string& name) {
    Set(root, path, name, {ValueType::Binary, "\x01\x02"});
  }
  void Set(RegistryRoot root, const std::string& path, const std::string& name, Value value) {
    if (!keys_.count(Id(root, path))) AddKey(root, path);
    auto& values = keys_[Id(root, path)].values;
    for (auto& [n, v] : values) {
      if (Fold(n) == Fold(name)) {
        v = value;
        return;
      }
    }
    values.emplace_back(name, value);
  }
  const Value* Get(RegistryRoot root, const std::string& path, const std::string& name) {
    auto key = keys_.find(Id(root, path));
    if (key == keys_.end()) return nullptr;
    for (auto& [n, v] : key->second.values) {
      if (Fold(n) == Fold(name)) return &v;
    }
    return nullptr;
  }

  // Called before every open, e.g. to make the registry slow for a test.
  std::function<void(RegistryRoot, const std::string&)> on_open;
  // What a standard user (or an administrator under UAC) meets: every key of
  // HKEY_LOCAL_MACHINE opens for reading only, and none is created there.
  bool standard_user = false;

  std::unique_ptr<RegistryKey> OpenOrCreate(RegistryRoot root, const std::string& path) override {
    if (Refused(root, RegistryAccess::All)) return nullptr;
    if (!keys_.count(Id(root, path))) AddKey(root, path);
    return Open(root, path, RegistryAccess::All);
  }

  bool Remove(RegistryRoot root, const std::string& path, const std::string& name) {
    auto key = keys_.find(Id(root, path));
    if (key == keys_.end()) return false;
    auto& values = key->second.values;
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (Fold(it->first) == Fold(name)) {
        values.erase(it);
        return true;
      }
    }
    return false;
  }

  std::unique_ptr<RegistryKey> Open(RegistryRoot root, const std::string& path, RegistryAccess access) override {
    if (on_open) on_open(root, path);
    auto key = keys_.find(Id(root, path));
    if (key == keys_.end()) return nullptr;
    if (access != RegistryAccess::Read && !key->second.writable) return nullptr;
    if (Refused(root, access)) return nullptr;
    return std::make_unique<OpenKey>(*this, root, path, access);
  }

 private:
  bool Refused(RegistryRoot root, RegistryAccess access) const {
    return standard_user && root == RegistryRoot::LocalMachine && access != RegistryAccess::Read;
  }

  class OpenKey : public RegistryKey {
   public:
    OpenKey(FakeRegistry& registry, RegistryRoot root, std::string path, RegistryAccess access)
        : registry_(registry), root_(root), path_(std::move(path)), access_(access) {}
    std::optional<std::string> ReadString(const std::string& name) override {
      const Value* v = registry_.Get(root_, path_, name);
      if (!v) return std::nullopt;
      if (v->type != ValueType::String && v->type != ValueType::ExpandableString) {
        throw RegistryError(InvalidRegistryTypeText(name));
      }
      return v->data.substr(0, v->data.find('\0'));
    }
    // Refused, naming the value, through a key opened for reading only (a
    // handle without the right to set values) or for a key that refuses its
    // values.
    void WriteString(const std::string& name, const std::string& value) override {
      auto key = registry_.keys_.find(Id(root_, path_));
      if (access_ == RegistryAccess::Read || (key != registry_.keys_.end() && key->second.refuses_values)) {
        throw RegistryError(RegistryWriteFailedText(name));
      }
      registry_.SetString(root_, path_, name, value);
    }
    bool DeleteValue(const std::string& name) override {
      return access_ != RegistryAccess::Read && registry_.Remove(root_, path_, name);
    }
    std::vector<std::string> SubkeyNames() override {
      std::vector<std::string> names;
      std::string prefix = Id(root_, path_) + "\\";
      for (const auto& [root, path] : registry_.order_) {
        std::string id = Id(root, path);
        if (id.rfind(prefix, 0) == 0 && id.find('\\', prefix.size()) == std::string::npos) {
          names.push_back(path.substr(path.rfind('\\') + 1));
        }
      }
      return names;
    }

   private:
    FakeRegistry& registry_;
    RegistryRoot root_;
    std::string path_;
    RegistryAccess access_;
  };

  std::map<std::string, Key> keys_;
  std::vector<std::pair<RegistryRoot, std::string>> order_;
};

}  // namespace ulmar::testing
