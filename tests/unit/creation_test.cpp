// Replacing a data source the server sends: which hive is looked at, which
// installer requests go out, in which order.
#include <gtest/gtest.h>

#include "datasources/collect.h"
#include "datasources/creation.h"
#include "unit/fake_alias_config.h"
#include "unit/fake_machine.h"
#include "unit/fake_registry.h"

namespace ulmar {
namespace {

struct ReplacementCase {
  uint8_t kind;
  RegistryRoot own_hive, other_hive;
  int remove_request, add_request;
};

class DsnReplacement : public ::testing::TestWithParam<ReplacementCase> {
 protected:
  // The session's order for one record: remove what exists, then create.
  std::vector<int> Replace(const TDBAlias& record) {
    DataSourceCreator creator(registry, odbc, aliases);
    if (creator.DataSourceExists(record)) creator.RemoveDataSource(record);
    creator.CreateDataSource(record);
    std::vector<int> requests;
    for (const auto& call : odbc.calls) requests.push_back(call.request);
    return requests;
  }
  testing::FakeRegistry registry;
  testing::FakeOdbcInstaller odbc;
  testing::FakeAliasConfig aliases;
};

TEST_P(DsnReplacement, AnExistingDsnOfItsOwnHiveIsRemovedFirstOneOfTheOtherHiveIsNot) {
  const ReplacementCase& c = GetParam();
  const TDBAlias record{"Учёт", "uchet", "db1", c.kind};
  registry.SetString(c.other_hive, std::string(kOdbcIniKey) + "\\Учёт", "Driver", "SQLSRV32.dll");
  EXPECT_EQ(Replace(record), (std::vector<int>{c.add_request}));
  odbc.calls.clear();
  registry.SetString(c.own_hive, std::string(kOdbcIniKey) + "\\УЧЁТ", "Driver", "SQLSRV32.dll");
  EXPECT_EQ(Replace(record), (std::vector<int>{c.remove_request, c.add_request}));
  EXPECT_EQ(odbc.calls[0].attributes, std::string("DSN=Учёт\0\0\0", 11));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DsnReplacement,
    ::testing::Values(ReplacementCase{SystemDsn, RegistryRoot::LocalMachine, RegistryRoot::CurrentUser, 6, 4},
                      ReplacementCase{UserDsn, RegistryRoot::CurrentUser, RegistryRoot::LocalMachine, 3, 1}),
    [](const auto& info) { return info.param.kind == SystemDsn ? "System" : "User"; });

}  // namespace
}  // namespace ulmar
