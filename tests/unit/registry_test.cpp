// The in-memory registry against the registry's contract.
#include "unit/fake_registry.h"
#include "unit/registry_contract.h"

namespace ulmar::testing {
namespace {

struct FakePlace {
  FakeRegistry fake;
  RegistryRoot root = RegistryRoot::CurrentUser;
  std::string base = "Software\\UlmarContract";
  FakePlace() { fake.AddKey(root, base); }
  Registry& registry() { return fake; }
  void Plant(const std::string& path, const std::string& name, ValueType type, const std::string& bytes) {
    fake.Set(root, path, name, {type, bytes});
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fake, RegistryContract, FakePlace);

}  // namespace
}  // namespace ulmar::testing
