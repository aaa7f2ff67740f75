// The page's answers, without a listener: the JSON and CSV of the views,
// and the errors of bad questions. (The listener itself, its password and
// the page in a browser are tested with the real server, in Python.)
#include <gtest/gtest.h>

#include <map>

#include "fleet_page.h"
#include "fleet_test_support.h"

namespace ulmar::server::fleet {
namespace {

using namespace testing;

class FleetPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::unique_ptr<Database> db = open_();
    Migrate(*db);
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    WriteSessions(*db, Stored({
        Served("STUDENT", "ivanov", now - 60, {"Bin\\lib.dll"}, {}, {"=cmd|' /C calc'!A0", "a,\"b\".tmp"}),
        Served("STUDENT", "petrov", now - 30),
        Failing("STUDENT", "</script>", now - 10, "idle for 300 s"),
    }));
  }
  FleetPage::Answer Get(const std::string& path, std::map<std::string, std::string> params = {}) {
    return page_.Get(path, [&params](const std::string& name) {
      auto found = params.find(name);
      return found == params.end() ? std::string() : found->second;
    });
  }

  std::function<std::unique_ptr<Database>()> open_ = FreshSqlite();
  FleetPage page_{PageOptions{}, open_, nullptr};
};

TEST_F(FleetPageTest, TheOverviewCountsTheSuitesWorkstationsAndTotals) {
  FleetPage::Answer a = Get("/api/overview", {{"offset", "10800"}});
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.type, "application/json; charset=utf-8");
  EXPECT_NE(a.body.find("\"suites\":[{\"suite\":\"STUDENT\",\"workstations\":3,\"up_to_date\":1,\"outstanding\":1,"
                        "\"failing\":1,\"silent\":0}]"),
            std::string::npos)
      << a.body;
  EXPECT_NE(a.body.find("\"totals\":{\"workstations\":3,\"up_to_date\":1,\"outstanding\":1,\"failing\":1,\"silent\":0}"),
            std::string::npos)
      << a.body;
  EXPECT_NE(a.body.find("\"recording\":{\"written\":0,\"dropped\":0,\"queued\":0}"), std::string::npos) << a.body;
}

TEST_F(FleetPageTest, TextsFromWorkstationsAreEscapedInJsonAndDefusedInCsv) {
  FleetPage::Answer json = Get("/api/workstations", {{"sort", "user"}, {"order", "asc"}});
  ASSERT_EQ(json.status, 200) << json.body;
  EXPECT_NE(json.body.find("\"total\":3,\"rows\":[{\"id\":\"STUDENT/\\u003c/script>\""), std::string::npos)
      << json.body;
  EXPECT_EQ(json.body.find("</script>"), std::string::npos);

  FleetPage::Answer csv = Get("/api/foreign", {{"format", "csv"}});
  EXPECT_EQ(csv.type, "text/csv; charset=utf-8");
  EXPECT_NE(csv.body.find("suite,path,workstations,since\r\n"), std::string::npos) << csv.body;
  // A field a spreadsheet would run as a formula starts with an apostrophe;
  // commas and quotes are quoted.
  EXPECT_NE(csv.body.find("STUDENT,'=cmd|' /C calc'!A0,1,"), std::string::npos) << csv.body;
  EXPECT_NE(csv.body.find("STUDENT,\"a,\"\"b\"\".tmp\",1,"), std::string::npos) << csv.body;
}

TEST_F(FleetPageTest, AWorkstationsHistoryCarriesEachSessionsNames) {
  FleetPage::Answer a = Get("/api/workstation", {{"id", "STUDENT/ivanov"}});
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_NE(a.body.find("\"drift\":[{\"path\":\"Bin\\\\lib.dll\""), std::string::npos) << a.body;
  EXPECT_NE(a.body.find("\"items\":{\"update\":[\"Bin\\\\lib.dll\"],\"foreign\":["), std::string::npos) << a.body;
  EXPECT_NE(a.body.find("\"sources\":[],\"delete\":[]}"), std::string::npos) << a.body;
}

TEST_F(FleetPageTest, BadQuestionsGetAClearError) {
  struct Case {
    const char* path;
    std::map<std::string, std::string> params;
    int status;
    const char* error;
  } cases[] = {
      {"/api/workstation", {{"id", "STUDENT/nobody"}}, 404, "no workstation STUDENT/nobody"},
      {"/api/workstations", {{"sort", "id; DROP TABLE sessions"}}, 400, "cannot sort on"},
      {"/api/workstations", {{"status", "happy"}}, 400, "status is one of"},
      {"/api/workstations", {{"limit", "0"}}, 400, "limit wants a number from 1 to 1000"},
      {"/api/overview", {{"offset", "99999999"}}, 400, "offset wants a number"},
      {"/api/nothing", {}, 404, "no such view"},
      {"/etc/passwd", {}, 404, "no such page"},
  };
  for (const Case& c : cases) {
    FleetPage::Answer a = Get(c.path, c.params);
    EXPECT_EQ(a.status, c.status) << c.path << " " << a.body;
    EXPECT_NE(a.body.find(c.error), std::string::npos) << c.path << " " << a.body;
  }
  EXPECT_EQ(Get("/api/workstations").status, 200);
}

TEST_F(FleetPageTest, TheStoreGoneIsAnsweredWith503) {
  FleetPage broken(PageOptions{}, []() -> std::unique_ptr<Database> { throw StoreError("no store", true); }, nullptr);
  FleetPage::Answer a = broken.Get("/api/drift", [](const std::string&) { return std::string(); });
  EXPECT_EQ(a.status, 503);
  EXPECT_NE(a.body.find("the fleet store cannot answer: no store"), std::string::npos) << a.body;
  EXPECT_EQ(broken.Get("/", [](const std::string&) { return std::string(); }).type, "text/html; charset=utf-8");
}

}  // namespace
}  // namespace ulmar::server::fleet
