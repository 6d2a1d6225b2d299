#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "config/config.h"
#include "config/config_loader.h"
#include "config/document_loader.h"
#include "config/zip_config_loader.h"
#include "package_fixture.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"

namespace belmor::korvex {
namespace {

using belmor::testing::TempDir;
using belmor::testing::WriteFile;
using belmor::testing::ZipBuilder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Files = std::map<std::string, std::string>;

std::shared_ptr<FileMapDocumentLoader> MapLoader(Files files) {
  return std::make_shared<FileMapDocumentLoader>(std::move(files));
}

// The ConfigLoadException a load ends in; fails the test when there is none.
template <typename F>
std::optional<ConfigLoadException> LoadFailure(F load) {
  try {
    load();
  } catch (const ConfigLoadException& e) {
    return e;
  }
  ADD_FAILURE() << "no ConfigLoadException";
  return std::nullopt;
}

// --- document loaders -------------------------------------------------------

TEST(FileDocumentLoaderTest, ReadsTheBytesUnderTheBaseDirectory) {
  TempDir dir;
  const std::string bytes("<a>\r\n\xc3\xa4\0b</a>\r\n", 14);
  WriteFile(dir.Sub("doc.xml"), bytes);
  for (const std::string& base : {dir.path(), dir.path() + "/"}) {
    fixture::LogCapture log;
    EXPECT_EQ(FileDocumentLoader(base).LoadDocument("doc.xml"), bytes) << base;
    EXPECT_TRUE(log.Has("FileDocumentLoader::LoadDocument: file=" + dir.Sub("doc.xml"))) << base;
    EXPECT_TRUE(log.Has("FileDocumentLoader::LoadDocument: successful loaded " + dir.Sub("doc.xml"))) << base;
  }
  // Files are read in pieces: one of several pieces and an odd end, and an
  // empty one, come back whole.
  std::string large;
  for (size_t i = 0; large.size() < 3 * 65536 + 17; ++i) large += std::to_string(i) + (i % 7 ? ' ' : '\n');
  WriteFile(dir.Sub("large.xml"), large);
  WriteFile(dir.Sub("empty.xml"), "");
  EXPECT_EQ(FileDocumentLoader(dir.path()).LoadDocument("large.xml"), large);
  EXPECT_EQ(FileDocumentLoader(dir.path()).LoadDocument("empty.xml"), "");
}

TEST(FileDocumentLoaderTest, UnreadablePathRaisesFileNotFoundWithThePath) {
  TempDir dir;
  std::filesystem::create_directory(dir.Sub("folder"));
  for (const char* name : {"absent.xml", "folder"}) {
    try {
      FileDocumentLoader(dir.path()).LoadDocument(name);
      ADD_FAILURE() << name;
    } catch (const common::FileNotFoundException& e) {
      EXPECT_EQ(e.Message(), "FileDocumentLoader::LoadDocument: unable to read: " + dir.Sub(name));
    }
  }
  // A base that is no path at all (a drive without separator) fails the same way.
  EXPECT_THROW(FileDocumentLoader("C:relative").LoadDocument("x.xml"), common::FileNotFoundException);
}

TEST(FileMapDocumentLoaderTest, AbsentNameYieldsEmptyText) {
  fixture::LogCapture log;
  FileMapDocumentLoader loader({{"a.xsd", "alpha"}, {"b.xsl", ""}});
  EXPECT_TRUE(log.Has("[FileMapDocumentLoader::FileMapDocumentLoader][map size: 2]"));
  EXPECT_EQ(loader.LoadDocument("a.xsd"), "alpha");
  EXPECT_EQ(loader.LoadDocument("absent.xsd"), "");
  EXPECT_EQ(loader.LoadDocument("absent.xsd"), "");
  EXPECT_EQ(loader.LoadDocument("A.xsd"), "");
}

// --- ConfigLoader -----------------------------------------------------------

// The fixture's configuration with one attribute replaced, e.g. to make it
// invalid or to name another package.
std::string ConfigWith(const std::string& from, const std::string& to) {
  std::string text = fixture::Read("korvex.xml");
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

TEST(ConfigLoaderTest, LoadsTheLocalCopyWithoutDocuments) {
  auto files = std::make_shared<FileDocumentLoader>(fixture::Path(""));
  auto config = std::make_shared<Config>();
  ConfigLoader loader(files, files, nullptr);
  loader.Load(config);

  EXPECT_EQ(loader.ConfigText(), fixture::Read("korvex.xml"));
  EXPECT_EQ(loader.SchemaText(), fixture::Read("korvex.xsd"));
  EXPECT_EQ(config->Rules().size(), 4u);
  EXPECT_EQ(config->Centers().size(), 2u);
  // Without a stylesheet loader no document is fetched.
  EXPECT_THAT(config->SchemaCache(), IsEmpty());
  EXPECT_FALSE(config->Good());
}

TEST(ConfigLoaderTest, FillsTheCachesFromADirectoryWithThePackageBeside) {
  // The local copy of a configuration: file, schema and package documents side by side.
  TempDir dir;
  for (const auto& [name, bytes] : fixture::FlatPackage()) WriteFile(dir.Sub(name), bytes);
  WriteFile(dir.Sub("tc.xml"), fixture::Read("korvex.xml"));
  WriteFile(dir.Sub("tc.xsd"), fixture::Read("korvex.xsd"));
  auto files = std::make_shared<FileDocumentLoader>(dir.path());
  auto config = std::make_shared<Config>();
  fixture::LogCapture log;
  ConfigLoader(files, files, files).Load(config, "tc.xml", "tc.xsd");

  EXPECT_TRUE(config->Good());
  EXPECT_EQ(config->SchemaCache().size(), 8u);
  EXPECT_EQ(config->StylesheetCache().size(), 8u);
  for (const char* line : {"ConfigLoader::Load: load config", "ConfigLoader::Load: validate config",
                           "ConfigLoader::Load: config validates", "Config::ApplyDocumentsToRules"}) {
    EXPECT_TRUE(log.Has(line)) << line;
  }
}

TEST(ConfigLoaderTest, EveryFailureIsAConfigLoadExceptionWithItsCause) {
  const std::string xml = fixture::Read("korvex.xml");
  const std::string xsd = fixture::Read("korvex.xsd");
  const struct {
    const char* what;
    std::optional<std::string> config;
    std::optional<std::string> schema;
    const char* causeType;
    std::string causeMessage;
  } cases[] = {
      {"config file missing", std::nullopt, xsd, "FileNotFoundException", ""},
      {"schema file missing", xml, std::nullopt, "FileNotFoundException", ""},
      {"config does not validate", ConfigWith("system=\"korvex-fixture\"", ""), xsd, "RuntimeException",
       "ConfigLoader::Load: config.xml ist not valid"},
      {"config is not XML", "<config", xsd, "RuntimeException", "XsdDoc::Validate: doc is not a valid xml document"},
      {"schema is empty", xml, "", "RuntimeException", "XsdDoc::LoadFromMemory: unable to create schema parser context"},
      {"schema does not compile", xml, "<xs:schema/>", "RuntimeException", "XsdDoc::Validate: no schem available"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.config) WriteFile(dir.Sub("korvex.xml"), *c.config);
    if (c.schema) WriteFile(dir.Sub("korvex.xsd"), *c.schema);
    auto files = std::make_shared<FileDocumentLoader>(dir.path());
    auto failure = LoadFailure([&] { ConfigLoader(files, files, files).Load(std::make_shared<Config>()); });
    ASSERT_TRUE(failure) << c.what;
    EXPECT_EQ(failure->Message(), "Unable to load a complete config") << c.what;
    EXPECT_STREQ(failure->Description(), "Korvex Ordiva config load exception");
    ASSERT_NE(failure->Cause(), nullptr) << c.what;
    EXPECT_STREQ(failure->Cause()->TypeName(), c.causeType) << c.what;
    if (!c.causeMessage.empty()) {
      EXPECT_EQ(failure->Cause()->Message(), c.causeMessage) << c.what;
    }
  }
}

TEST(ConfigLoaderTest, InvalidConfigStillFillsTheModel) {
  auto config = std::make_shared<Config>();
  auto schema = MapLoader({{"korvex.xsd", fixture::Read("korvex.xsd")}});
  EXPECT_TRUE(LoadFailure([&] {
    ConfigLoader(MapLoader({{"korvex.xml", ConfigWith("<centers>", "<extra/><centers>")}}), schema, schema).Load(config);
  }));
  // The engine must not use it, but the parse ran before the check.
  EXPECT_EQ(config->Rules().size(), 4u);
}

TEST(ConfigLoaderTest, FailureOutsideTheRuntimeTreeHasNoCause) {
  for (auto loader : std::vector<std::shared_ptr<AbstractDocumentLoader>>{
           std::make_shared<fixture::FailingLoader<std::runtime_error>>(),
           std::make_shared<fixture::FailingLoader<common::ApplicationException>>()}) {
    auto failure = LoadFailure([&] { ConfigLoader(loader, loader, nullptr).Load(std::make_shared<Config>()); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Message(), "Unable to load a complete config");
    EXPECT_EQ(failure->Cause(), nullptr);
  }
}

// --- ZipConfigLoader --------------------------------------------------------

// The online load with every source in memory: the configuration, its schema
// and the package under the name the configuration gives.
class ZipConfigLoaderTest : public ::testing::Test {
 protected:
  void Load(const std::string& configText, std::shared_ptr<AbstractDocumentLoader> package) {
    ZipConfigLoader(MapLoader({{"korvex.xml", configText}}), MapLoader({{"korvex.xsd", fixture::Read("korvex.xsd")}}),
                    std::move(package))
        .Load(config_);
  }

  std::shared_ptr<Config> config_ = std::make_shared<Config>();
};

TEST_F(ZipConfigLoaderTest, PackageGivesEveryRuleItsDocuments) {
  const std::string zip = fixture::PackageZip();
  auto package = std::make_shared<fixture::RecordingLoader>(Files{{"tc-nord.zip", zip}});
  fixture::LogCapture log;
  Load(ConfigWith("package_name=\"kx-schemas.zip\"", "package_name=\"tc-nord.zip\""), package);

  EXPECT_THAT(package->asked, ElementsAre("tc-nord.zip"));
  for (const std::string& line :
       {std::string("[ZipConfigLoader::Load][validate config]"), std::string("[ZipConfigLoader::Load][config validates]"),
        "[ZipConfigLoader::Load][open zip archive][size=" + std::to_string(zip.size()) + "]",
        std::string("[ZipConfigLoader::Load][zip ectracted][total files=17]"),
        std::string("[FileMapDocumentLoader::FileMapDocumentLoader][map size: 17]")}) {
    EXPECT_TRUE(log.Has(line)) << line;
  }
  ASSERT_TRUE(config_->Good());

  const struct {
    const char* invoice;
    const char* rule;
    bool valid;
  } cases[] = {
      {"invoices/invoice-1.0-valid.xml", "fixture-invoice-1.0", true},
      {"invoices/invoice-1.0-schema-error.xml", "fixture-invoice-1.0", false},
      {"invoices/invoice-2.0-valid.xml", "fixture-invoice-2.0", true},
  };
  for (const auto& c : cases) {
    const std::string text = fixture::Read(c.invoice);
    auto rule = config_->FindRule(text);
    ASSERT_TRUE(rule) << c.invoice;
    EXPECT_EQ(rule->Version(), c.rule);
    XmlDoc invoice(text);
    EXPECT_EQ(rule->Validators()[0]->Apply(invoice), c.valid) << c.invoice;
    // Running the transform stylesheet needs the recipients' certificates;
    // the pipeline tests do that. Here it must have arrived compiled.
    const auto& transformer = rule->Transformers()[0];
    EXPECT_EQ(transformer->Name(), "transform-" + std::string(c.rule).substr(std::string("fixture-invoice-").size()) + ".xsl");
    EXPECT_TRUE(transformer->Document()) << c.invoice;
    auto keys = rule->DuplicateCheck()->Apply(invoice);
    ASSERT_TRUE(keys) << c.invoice;
    EXPECT_THAT(keys->ToString(), HasSubstr("<ID>R-2026-000")) << c.invoice;
  }
  EXPECT_EQ(config_->FindRule(fixture::Read("invoices/unknown-format.xml")), nullptr);
}

TEST_F(ZipConfigLoaderTest, FailuresCarryWhatWentWrong) {
  ZipBuilder withoutTransform;
  for (const auto& [name, bytes] : fixture::FlatPackage()) {
    if (name != "transform-2.0.xsl") withoutTransform.Add("stylesheets/" + name, bytes);
  }
  const struct {
    const char* what;
    std::string config;
    std::shared_ptr<AbstractDocumentLoader> package;
    const char* causeType;
    const char* causeText;
  } cases[] = {
      {"document missing from the package", fixture::Read("korvex.xml"),
       MapLoader({{"kx-schemas.zip", withoutTransform.Build()}}), "RuntimeException", "transform-2.0.xsl"},
      {"package is no zip", fixture::Read("korvex.xml"), MapLoader({{"kx-schemas.zip", "PK but not really"}}),
       "NoZipFileException", "No valid zip file content"},
      {"package cannot be fetched", fixture::Read("korvex.xml"),
       std::make_shared<FileDocumentLoader>("/nonexistent-korvex-dir"), "FileNotFoundException", "kx-schemas.zip"},
      {"config does not validate", ConfigWith("version=\"1.4\"", ""), MapLoader({}), "RuntimeException",
       "ConfigLoader::Load: config.xml ist not valid"},
  };
  for (const auto& c : cases) {
    auto failure = LoadFailure([&] { Load(c.config, c.package); });
    ASSERT_TRUE(failure) << c.what;
    EXPECT_EQ(failure->Message(), "Unable to load a complete config") << c.what;
    ASSERT_NE(failure->Cause(), nullptr) << c.what;
    EXPECT_STREQ(failure->Cause()->TypeName(), c.causeType) << c.what;
    EXPECT_THAT(failure->Cause()->Message(), HasSubstr(c.causeText)) << c.what;
  }
}

}  // namespace
}  // namespace belmor::korvex
