#include "transport/credential_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "transport/credential_loader.h"

namespace belmor::korvex {
namespace {

using ::testing::ElementsAre;

// Serves "<name>-<kind>" for every name except those it is told to fail.
class FakeLoader : public AbstractDocumentLoader {
 public:
  FakeLoader(std::string kind, std::set<std::string> failing)
      : AbstractDocumentLoader("fake"), kind_(std::move(kind)), failing_(std::move(failing)) {}
  std::string LoadDocument(const std::string& name) override {
    if (failing_.count(name)) throw common::FileNotFoundException("fake loader", name);
    return name + "-" + kind_;
  }

 private:
  std::string kind_;
  std::set<std::string> failing_;
};

std::shared_ptr<Config> ConfigWithCenter(const std::vector<std::string>& recipients) {
  auto config = std::make_shared<Config>();
  auto center = std::make_shared<TrustCenter>();
  center->id = 1;
  center->recipients = recipients;
  config->AddCenter(center);
  config->SelectCenter(center);
  return config;
}

std::vector<std::string> Certificates(const CredentialCache& cache) {
  std::vector<std::string> out;
  for (const Credential& c : cache.Credentials()) out.push_back(c.certificate);
  return out;
}

TEST(CredentialCacheTest, LoadsEveryRecipientInOrderOrFailsAsItsModeSays) {
  struct Case {
    const char* name;
    bool strict;
    std::set<std::string> missingCertificates;
    std::set<std::string> missingKeys;
    std::string error;  // message of the FileNotFoundException, empty: none
    std::vector<std::string> certificates;
  };
  const Case cases[] = {
      {"strict, all there", true, {}, {}, "", {"a-crt", "b-crt", "c-crt"}},
      {"strict, one missing", true, {"b"}, {}, "Could not load certificate file: b", {}},
      {"lenient, one missing is skipped", false, {"b"}, {}, "", {"a-crt", "c-crt"}},
      {"lenient, all missing", false, {"a", "b", "c"}, {}, "Could not load any credential file", {}},
      {"lenient, a key missing", false, {}, {"c"}, "Could not load key file: c", {}},
      {"strict, a key missing", true, {}, {"b"}, "Could not load key file: b", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto config = ConfigWithCenter({"a", "b", "c"});
    CredentialCache cache(config, std::make_shared<FakeLoader>("crt", c.missingCertificates),
                          std::make_shared<FakeLoader>("key", c.missingKeys));
    // A list from an earlier load must never survive a failed one.
    config->CurrentCenter()->recipients = {"z"};
    cache.LoadCredentials(true);
    ASSERT_EQ(cache.Credentials().size(), 1u);
    config->CurrentCenter()->recipients = {"a", "b", "c"};

    if (c.error.empty()) {
      cache.LoadCredentials(c.strict);
    } else {
      try {
        cache.LoadCredentials(c.strict);
        ADD_FAILURE() << "no exception";
      } catch (const common::FileNotFoundException& e) {
        EXPECT_EQ(e.Message(), c.error);
      }
    }
    EXPECT_EQ(Certificates(cache), c.certificates);
    for (const Credential& credential : cache.Credentials()) {
      EXPECT_EQ(credential.key, credential.certificate.substr(0, 1) + "-key");
    }
  }
}

TEST(CredentialCacheTest, WithoutKeyLoaderKeysAreEmpty) {
  auto config = ConfigWithCenter({"a", "b"});
  CredentialCache cache(config, std::make_shared<FakeLoader>("crt", std::set<std::string>{}), nullptr);
  cache.LoadCredentials(true);
  ASSERT_EQ(cache.Credentials().size(), 2u);
  EXPECT_EQ(cache.Credentials()[1].certificate, "b-crt");
  EXPECT_EQ(cache.Credentials()[1].key, "");
}

TEST(CredentialCacheTest, NoCenterEmptiesTheListAndNoConfigurationKeepsIt) {
  auto config = ConfigWithCenter({"a"});
  CredentialCache cache(config, std::make_shared<FakeLoader>("crt", std::set<std::string>{}), nullptr);
  cache.LoadCredentials(false);
  ASSERT_EQ(cache.Credentials().size(), 1u);

  config->SelectCenter(std::shared_ptr<TrustCenter>());
  cache.LoadCredentials(false);
  EXPECT_TRUE(cache.Credentials().empty());

  config->SelectCenter(config->Centers().front());
  cache.LoadCredentials(false);
  config.reset();
  cache.LoadCredentials(false);
  EXPECT_EQ(cache.Credentials().size(), 1u);
}

TEST(CredentialFileLoaderTest, ReadsNameWithExtensionAndRefusesNamesLeavingTheDirectory) {
  belmor::testing::TempDir dir;
  belmor::testing::WriteFile(dir.Sub("keys/tcnord-a.key"), "KEY");
  belmor::testing::WriteFile(dir.Sub("secret.key"), "OUTSIDE");
  CredentialFileLoader loader(dir.Sub("keys"), "key");
  EXPECT_EQ(loader.LoadDocument("tcnord-a"), "KEY");
  for (const char* name : {"missing", "../secret", "..", "", "sub/x", "a\\b", ".hidden"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(loader.LoadDocument(name), common::FileNotFoundException);
  }
}

}  // namespace
}  // namespace belmor::korvex
