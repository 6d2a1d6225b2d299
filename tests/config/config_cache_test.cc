#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config.h"
#include "config/config_loader.h"
#include "package_fixture.h"

namespace belmor::korvex {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

template <typename Doc>
std::vector<std::string> Keys(const std::map<std::string, std::shared_ptr<Doc>>& cache) {
  std::vector<std::string> keys;
  for (const auto& entry : cache) keys.push_back(entry.first);
  return keys;
}

std::shared_ptr<Rule> MakeRule(const std::string& version, const std::string& schema, const std::string& sheet,
                               const std::string& keys) {
  auto rule = std::make_shared<Rule>();
  rule->SetVersion(version);
  rule->AddValidator(std::make_shared<Validator>(schema));
  rule->AddTransformer(std::make_shared<Transformer>(sheet));
  rule->SetDuplicateCheck(std::make_shared<Transformer>(keys));
  return rule;
}

// The package split the way a local copy may hold it: schemas from one
// loader, stylesheets from another.
std::map<std::string, std::string> PackageFiles(const std::string& extension) {
  std::map<std::string, std::string> files;
  for (const auto& [name, bytes] : fixture::FlatPackage()) {
    if (name.ends_with(extension)) files[name] = bytes;
  }
  return files;
}

// A configuration with the fixture's two rules and a center, serving references itself.
class ConfigCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_->AddRule(MakeRule("fixture-invoice-1.0", "invoice-1.0.xsd", "transform-1.0.xsl", "keys-1.0.xsl"));
    config_->AddRule(MakeRule("fixture-invoice-2.0", "invoice-2.0.xsd", "transform-2.0.xsl", "keys-2.0.xsl"));
    config_->AddCenter(std::make_shared<TrustCenter>());
    RefDocumentLoader::Init(config_);
  }

  std::shared_ptr<Config> config_ = std::make_shared<Config>();
  std::shared_ptr<fixture::RecordingLoader> schemas_ = std::make_shared<fixture::RecordingLoader>(PackageFiles(".xsd"));
  std::shared_ptr<fixture::RecordingLoader> sheets_ = std::make_shared<fixture::RecordingLoader>(PackageFiles(".xsl"));
};

TEST_F(ConfigCacheTest, ReloadFetchesWhatTheRulesNameAndAttachesIt) {
  config_->SchemaCache()["stale.xsd"];
  config_->StylesheetCache()["stale.xsl"];
  // Whatever list the reference loader had, the reload serves references from its schema loader.
  RefDocumentLoader::SetLoaders({std::make_shared<FileMapDocumentLoader>(
      std::map<std::string, std::string>{{"invoice-types.xsd", "<broken"}, {"attachment.xsd", "<broken"}})});

  config_->ReloadDocumentCache(schemas_, sheets_);

  // Included schemas are cached by their references and not fetched a second time.
  EXPECT_THAT(schemas_->asked, ElementsAre("invoice-1.0.xsd", "invoice-types.xsd", "invoice-2.0.xsd", "attachment.xsd"));
  EXPECT_THAT(sheets_->asked, ElementsAre("keys-1.0.xsl", "keys-2.0.xsl", "transform-1.0.xsl", "transform-2.0.xsl"));
  EXPECT_THAT(Keys(config_->SchemaCache()),
              ElementsAre("attachment.xsd", "invoice-1.0.xsd", "invoice-2.0.xsd", "invoice-types.xsd"));
  EXPECT_THAT(Keys(config_->StylesheetCache()),
              ElementsAre("keys-1.0.xsl", "keys-2.0.xsl", "transform-1.0.xsl", "transform-2.0.xsl"));

  EXPECT_TRUE(config_->Good());
  for (const auto& rule : config_->Rules()) {
    EXPECT_EQ(rule->Validators()[0]->Document(), config_->SchemaCache()[rule->Validators()[0]->Name()]);
    EXPECT_EQ(rule->Transformers()[0]->Document(), config_->StylesheetCache()[rule->Transformers()[0]->Name()]);
    EXPECT_EQ(rule->DuplicateCheck()->Document(), config_->StylesheetCache()[rule->DuplicateCheck()->Name()]);
  }
  const auto& v1 = config_->Rules()[0]->Validators()[0];
  EXPECT_TRUE(v1->Apply(XmlDoc(fixture::Read("invoices/invoice-1.0-valid.xml"))));
  EXPECT_FALSE(v1->Apply(XmlDoc(fixture::Read("invoices/invoice-1.0-schema-error.xml"))));
  EXPECT_TRUE(config_->Rules()[1]->Validators()[0]->Apply(XmlDoc(fixture::Read("invoices/invoice-2.0-valid.xml"))));
}

TEST_F(ConfigCacheTest, DocumentThatCannotBeHadNamesItselfAndStopsTheReload) {
  const struct {
    const char* what;
    std::shared_ptr<AbstractDocumentLoader> schemas;
    std::shared_ptr<AbstractDocumentLoader> sheets;
    const char* message;
    const char* causeType;
  } cases[] = {
      // A map loader answers an absent name with empty text, which is no schema.
      {"schema missing from the package",
       std::make_shared<FileMapDocumentLoader>(std::map<std::string, std::string>{
           {"invoice-1.0.xsd", fixture::Read("package/schemas/invoice-1.0.xsd")}}),
       sheets_, "Config::ReloadDocumentCache load xsd document invoice-2.0.xsd failed: ", "RuntimeException"},
      {"stylesheet missing from the package", schemas_,
       std::make_shared<FileMapDocumentLoader>(std::map<std::string, std::string>{
           {"keys-1.0.xsl", fixture::Read("package/stylesheets/keys-1.0.xsl")}}),
       "Config::ReloadDocumentCache load xsl document keys-2.0.xsl failed: ", "RuntimeException"},
      {"stylesheet that is no stylesheet", schemas_,
       std::make_shared<FileMapDocumentLoader>(std::map<std::string, std::string>{
           {"keys-1.0.xsl", "<plain/>"}}),
       "Config::ReloadDocumentCache load xsl document keys-1.0.xsl failed: ", "RuntimeException"},
      {"schema loader failing", std::make_shared<FileDocumentLoader>("/nonexistent-korvex-dir"), sheets_,
       "Config::ReloadDocumentCache load xsd document invoice-1.0.xsd failed: ", "FileNotFoundException"},
  };
  for (const auto& c : cases) {
    fixture::LogCapture log;
    try {
      config_->ReloadDocumentCache(c.schemas, c.sheets);
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const common::RuntimeException& e) {
      EXPECT_STREQ(e.TypeName(), "RuntimeException") << c.what;
      EXPECT_EQ(e.Message(), c.message) << c.what;
      ASSERT_NE(e.Cause(), nullptr) << c.what;
      EXPECT_STREQ(e.Cause()->TypeName(), c.causeType) << c.what;
    }
    EXPECT_TRUE(log.Has(c.message)) << c.what;
    EXPECT_FALSE(config_->Good()) << c.what;
  }
}

TEST_F(ConfigCacheTest, SchemaThatDoesNotCompileLeavesItsRuleNotGood) {
  auto schemas = PackageFiles(".xsd");
  schemas["invoice-2.0.xsd"] = "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><xs:element/></xs:schema>";
  config_->ReloadDocumentCache(std::make_shared<FileMapDocumentLoader>(schemas), sheets_);
  EXPECT_TRUE(config_->Rules()[0]->Good());
  EXPECT_FALSE(config_->Rules()[1]->Good());
}

TEST_F(ConfigCacheTest, ApplyEntersUnknownNamesWithoutDocument) {
  config_->ApplyDocumentsToRules();
  EXPECT_THAT(Keys(config_->SchemaCache()), ElementsAre("invoice-1.0.xsd", "invoice-2.0.xsd"));
  EXPECT_EQ(Keys(config_->StylesheetCache()).size(), 4u);
  EXPECT_EQ(config_->Rules()[0]->Validators()[0]->Document(), nullptr);
  EXPECT_FALSE(config_->Rules()[0]->Good());

  // A document put into the cache reaches the rule with the next apply.
  auto schema = std::make_shared<XsdDoc>(fixture::Read("package/schemas/attachment.xsd"));
  config_->SchemaCache()["invoice-1.0.xsd"] = schema;
  config_->ApplyDocumentsToRules();
  EXPECT_EQ(config_->Rules()[0]->Validators()[0]->Document(), schema);
}

TEST(ConfigCacheEmptyTest, ConfigWithoutRulesReloadsToEmptyCaches) {
  auto config = std::make_shared<Config>();
  auto loader = std::make_shared<fixture::RecordingLoader>(std::map<std::string, std::string>{});
  config->SchemaCache()["old.xsd"];
  config->ReloadDocumentCache(loader, loader);
  EXPECT_THAT(config->SchemaCache(), IsEmpty());
  EXPECT_THAT(config->StylesheetCache(), IsEmpty());
  EXPECT_THAT(loader->asked, IsEmpty());
}

}  // namespace
}  // namespace belmor::korvex
