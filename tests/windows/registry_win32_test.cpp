// Wine's real registry against the contract the in-memory one is held to.
#include <windows.h>

#include <random>

#include "unit/registry_contract.h"

namespace ulmar::testing {
namespace {

// A fresh key under HKEY_CURRENT_USER, removed with everything in it.
struct SystemPlace {
  std::unique_ptr<Registry> system = MakeSystemRegistry();
  RegistryRoot root = RegistryRoot::CurrentUser;
  std::string base = "Software\\UlmarContract" + std::to_string(std::random_device{}());
  SystemPlace() { system->OpenOrCreate(root, base); }
  ~SystemPlace() {
    RegDeleteTreeA(HKEY_CURRENT_USER, base.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, base.c_str());
  }
  Registry& registry() { return *system; }
  void Plant(const std::string& path, const std::string& name, ValueType type, const std::string& bytes) {
    DWORD stored = REG_BINARY;
    switch (type) {
      case ValueType::String: stored = REG_SZ; break;
      case ValueType::ExpandableString: stored = REG_EXPAND_SZ; break;
      case ValueType::MultiString: stored = REG_MULTI_SZ; break;
      case ValueType::Binary: stored = REG_BINARY; break;
      case ValueType::Number: stored = REG_DWORD; break;
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, stored,
                             reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, RegistryContract, SystemPlace);

}  // namespace
}  // namespace ulmar::testing
