#include "manifest.h"

#include <optional>
#include <sstream>

#include "base/safe_path.h"
#include "base/cp1251.h"
#include "text.h"

namespace ulmar::server {

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    fields.push_back(Trim(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start)));
    if (bar == std::string::npos) return fields;
    start = bar + 1;
  }
}

class LineParser {
 public:
  explicit LineParser(int number) : number_(number) {}

  [[noreturn]] void Reject(const std::string& why) const {
    throw ManifestError("line " + std::to_string(number_) + ": " + why);
  }

  // A relative path of the installation directory, in code page 1251.
  std::string Path(const std::string& text) const {
    if (text.empty()) Reject("a path is missing");
    std::string shown = "path \"" + Cp1251ToUtf8(text) + "\": ";
    if (std::optional<std::string> reason = UnsafePathReason(text)) Reject(shown + Cp1251ToUtf8(*reason));
    if (text.find('/') != std::string::npos) Reject(shown + "use backslashes");
    if (text.front() == '\\' || text.back() == '\\') Reject(shown + "no leading or trailing backslash");
    return text;
  }

  TDBAlias DataSource(const std::string& rest) const {
    size_t blank = rest.find_first_of(" \t");
    std::string kind = rest.substr(0, blank);
    std::vector<std::string> fields = SplitFields(blank == std::string::npos ? "" : rest.substr(blank + 1));
    TDBAlias alias;
    size_t expected = 3;
    if (kind == "system") {
      alias.Kind = SystemDsn;
    } else if (kind == "user") {
      alias.Kind = UserDsn;
    } else if (kind == "paradox") {
      alias.Kind = ParadoxAlias;
      expected = 2;
    } else {
      Reject("data-source kind \"" + Cp1251ToUtf8(kind) + "\" is none of system, user, paradox");
    }
    if (fields.size() != expected || fields[0].empty()) {
      Reject(expected == 3 ? "expected: dsn " + Cp1251ToUtf8(kind) + " <name> | <database> | <server>"
                         : "expected: dsn paradox <name> | <directory>");
    }
    alias.Name = fields[0];
    alias.Database = fields[1];
    if (expected == 3) alias.Server = fields[2];
    return alias;
  }

 private:
  int number_;
};

}  // namespace

Manifest ParseManifest(const std::string& utf8_text) {
  Manifest manifest;
  bool client_seen = false;
  std::istringstream lines(utf8_text.rfind("\xEF\xBB\xBF", 0) == 0 ? utf8_text.substr(3) : utf8_text);
  std::string raw;
  for (int number = 1; std::getline(lines, raw); ++number) {
    LineParser line(number);
    std::string text = Trim(raw);
    if (text.empty() || text[0] == '#') continue;
    std::optional<std::string> converted = Utf8ToCp1251(text);
    if (!converted) line.Reject("not UTF-8, or a character that code page 1251 cannot spell");
    text = *converted;
    size_t blank = text.find_first_of(" \t");
    std::string keyword = text.substr(0, blank);
    std::string rest = blank == std::string::npos ? "" : Trim(text.substr(blank + 1));
    if (keyword == "ftp") {
      if (rest.empty() || rest.find_first_of(" \t") != std::string::npos) line.Reject("expected: ftp <host>[/<directory>]");
      manifest.ftp_servers.push_back(rest);
    } else if (keyword == "client") {
      if (client_seen) line.Reject("a second client entry");
      client_seen = true;
      manifest.client_path = line.Path(rest);
      // The companion looks for the staged build under this one name.
      size_t slash = manifest.client_path.rfind('\\');
      std::string file = manifest.client_path.substr(slash == std::string::npos ? 0 : slash + 1);
      if (!SameTextCp1251(file, kDefaultClientPath)) line.Reject("the client's file is named UlmarUpdater.exe");
    } else if (keyword == "dsn") {
      TDBAlias alias = line.DataSource(rest);
      for (const TDBAlias& other : manifest.data_sources) {
        if (other.Kind == alias.Kind && SameTextCp1251(other.Name, alias.Name)) {
          line.Reject("data source \"" + Cp1251ToUtf8(alias.Name) + "\" is named twice");
        }
      }
      manifest.data_sources.push_back(alias);
    } else if (keyword == "delete") {
      manifest.deletions.push_back(line.Path(rest));
    } else if (keyword == "keep") {
      if (rest.empty()) line.Reject("a pattern is missing");
      manifest.keep_patterns.push_back(rest);
    } else {
      line.Reject("unknown entry \"" + Cp1251ToUtf8(keyword) + "\"");
    }
  }
  return manifest;
}

}  // namespace ulmar::server
