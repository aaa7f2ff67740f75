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
};

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, RegistryContract, SystemPlace);

}  // namespace
}  // namespace ulmar::testing
