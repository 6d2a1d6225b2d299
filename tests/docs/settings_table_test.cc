// The settings reference (docs/settings.md) holds every key the server reads
// or writes in korvex.ini, and no other. The keys come from the settings
// code itself: every look-up and every store leaves a debug line naming its
// key, so a start and one of each setter show them all without a list here
// that could drift too.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/client_config.h"
#include "config/hin_defaults.h"
#include "engine/korvex.h"
#include "logging/log.h"
#include "platform/scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;

struct Row {
  std::string type;
  std::string defaultValue;  // as the file holds it; "" for (empty)
  bool written = false;
};

std::string Unquote(const std::string& cell) {
  static const std::regex code("^`(.*)`$");
  std::smatch match;
  if (std::regex_match(cell, match, code)) return match[1].str();
  return cell == "(empty)" ? std::string() : cell;
}

// The rows of the one table whose header begins with "| Key |".
std::map<std::string, Row> ParseTable(const std::string& text) {
  std::map<std::string, Row> rows;
  std::istringstream in(text);
  std::string line;
  bool inTable = false;
  while (std::getline(in, line)) {
    if (line.rfind("| Key |", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable) continue;
    if (line.empty() || line[0] != '|') break;
    if (line.rfind("|---", 0) == 0) continue;
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream fields(line.substr(1));
    while (std::getline(fields, cell, '|')) {
      const size_t first = cell.find_first_not_of(' ');
      const size_t last = cell.find_last_not_of(' ');
      cells.push_back(first == std::string::npos ? std::string() : cell.substr(first, last - first + 1));
    }
    EXPECT_EQ(cells.size(), 5u) << line;
    if (cells.size() < 4) continue;
    const std::string key = Unquote(cells[0]);
    EXPECT_EQ(rows.count(key), 0u) << "row twice: " << key;
    EXPECT_TRUE(cells[3] == "yes" || cells[3] == "no") << line;
    rows[key] = Row{cells[1], Unquote(cells[2]), cells[3] == "yes"};
  }
  return rows;
}

// Collects the keys of the settings' debug lines.
class KeyRecorder : public log::BaseLogger {
 public:
  bool Write(const log::LogData& data) override {
    // After the line's header: "IniOptions::Get (bool): debug", "IniOptions::Set: debug:0".
    static const std::regex line("IniOptions::(?:Get \\((?:string|int|bool)\\)|Set): ([^:\n]+)");
    const std::string text = data.stream.str();
    std::smatch match;
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::regex_search(text, match, line)) keys_.insert(match[1].str());
    return true;
  }
  bool IsEnabled(int) const override { return true; }
  std::set<std::string> Keys() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_;
  }

 private:
  mutable std::mutex mutex_;
  std::set<std::string> keys_;
};

class SettingsTable : public ::testing::Test {
 protected:
  SettingsTable() : previous_(log::CurrentLogger()) { log::InstallLogger(recorder_); }
  ~SettingsTable() override { log::InstallLogger(previous_); }

  std::string Documents() const { return dir_.Sub("docs"); }
  std::string Ini() const { return dir_.Sub("config/Belmor/korvex-ordiva/korvex.ini"); }

  TempDir dir_;
  ScopedEnv configHome_{"XDG_CONFIG_HOME", dir_.Sub("config")};
  ScopedEnv documents_{"XDG_DOCUMENTS_DIR", dir_.Sub("docs")};
  std::shared_ptr<log::BaseLogger> previous_;
  std::shared_ptr<KeyRecorder> recorder_ = std::make_shared<KeyRecorder>();
  std::map<std::string, Row> table_ = ParseTable(ReadFile(KORVEX_SOURCE_DIR "/docs/settings.md"));
};

TEST_F(SettingsTable, NamesEveryKeyTheCodeReadsOrWritesAndNoOther) {
  ASSERT_FALSE(table_.empty()) << "no table in docs/settings.md";
  auto engine = std::make_shared<Korvex>();
  std::shared_ptr<ClientConfig> config = MakeClientConfig(engine);
  // Every setter, for the keys only a change stores.
  config->SetArchive(false);
  config->SetDebug(true);
  config->SetHinLogin("praxis");
  config->SetZsrDownFilter("1234");
  config->SetPathInputDir(common::Path(dir_.Sub("in"), true));
  config->SetPathOutputDir(common::Path(dir_.Sub("out"), true));
  config->set_path_work(common::Path(dir_.Sub("work"), true));
  config->SelectCenter(0);

  const std::set<std::string> used = recorder_->Keys();
  ASSERT_FALSE(used.empty()) << "the settings code no longer names its keys in debug lines";
  for (const std::string& key : used) EXPECT_EQ(table_.count(key), 1u) << "missing from docs/settings.md: " << key;
  for (const auto& [key, row] : table_) EXPECT_EQ(used.count(key), 1u) << "the code has no key " << key;
}

// The "Written" column and the defaults of those rows are what a first start
// puts into a new file.
TEST_F(SettingsTable, FirstStartWritesTheRowsMarkedWrittenWithTheirDefaults) {
  auto engine = std::make_shared<Korvex>();
  std::shared_ptr<ClientConfig> config = MakeClientConfig(engine);
  std::map<std::string, std::string> file;
  std::istringstream in(ReadFile(Ini()));
  std::string line;
  while (std::getline(in, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) file[line.substr(0, equals)] = line.substr(equals + 1);
  }
  for (const auto& [key, row] : table_) {
    SCOPED_TRACE(key);
    EXPECT_EQ(file.count(key), row.written ? 1u : 0u);
    if (!row.written) continue;
    std::string expected = row.defaultValue;
    const std::string documents = "<Documents>";
    if (expected.rfind(documents, 0) == 0) expected = Documents() + expected.substr(documents.size());
    EXPECT_EQ(file[key], expected);
  }
  // The keys that are only read, whose defaults live in the code.
  const std::map<std::string, std::string> readOnly = {{"hinAuthUrl", kDefaultHinAuthUrl},
                                                       {"hinTokenUrl", kDefaultHinTokenUrl},
                                                       {"hinStartPage", kDefaultHinStartPage}};
  for (const auto& [key, value] : readOnly) {
    ASSERT_EQ(table_.count(key), 1u) << key;
    EXPECT_EQ(table_.at(key).defaultValue, value) << key;
  }
}

}  // namespace
}  // namespace belmor::korvex
