#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <unistd.h>

#include "config/config.h"
#include "config/config_loader.h"
#include "config/documents.h"
#include "package_fixture.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char* kSchemaHead = R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">)";

// A schema whose element "a" has a type that only the referenced schema defines:
// it compiles exactly when the reference is served.
std::string SchemaIncluding(const std::string& location) {
  return std::string(kSchemaHead) + R"(<xs:include schemaLocation=")" + location +
         R"("/><xs:element name="a" type="T"/></xs:schema>)";
}
const std::string kTypeSchema = std::string(kSchemaHead) + R"(<xs:simpleType name="T">
    <xs:restriction base="xs:string"><xs:enumeration value="ok"/></xs:restriction>
  </xs:simpleType></xs:schema>)";

// Every test starts from a configuration of its own whose cache serves
// references, and one recording loader over the given documents.
class RefDocumentLoaderTest : public ::testing::Test {
 protected:
  std::shared_ptr<fixture::RecordingLoader> Serve(std::map<std::string, std::string> documents) {
    auto loader = std::make_shared<fixture::RecordingLoader>(std::move(documents));
    RefDocumentLoader::Init(config_);
    RefDocumentLoader::SetLoaders({loader});
    return loader;
  }

  std::shared_ptr<Config> config_ = std::make_shared<Config>();
};

// Runs a test body in another working directory.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

TEST_F(RefDocumentLoaderTest, PackageSchemasIncludeAndImportFromTheLoaderAndCacheWhatTheyGot) {
  auto loader = Serve(fixture::FlatPackage());
  XsdDoc v1(fixture::Read("package/schemas/invoice-1.0.xsd"));
  XsdDoc v2(fixture::Read("package/schemas/invoice-2.0.xsd"));
  ASSERT_TRUE(v1.Good());
  ASSERT_TRUE(v2.Good());

  const struct {
    const XsdDoc& schema;
    const char* invoice;
    bool valid;
  } cases[] = {
      {v1, "invoices/invoice-1.0-valid.xml", true},
      {v1, "invoices/invoice-1.0-schema-error.xml", false},
      {v2, "invoices/invoice-2.0-valid.xml", true},
      {v2, "invoices/invoice-1.0-valid.xml", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.schema.Validate(XmlDoc(fixture::Read(c.invoice))), c.valid) << c.invoice;
  }

  // The shared types were fetched once, for the first schema; the second got them from the cache.
  EXPECT_THAT(loader->asked, ElementsAre("invoice-types.xsd", "attachment.xsd"));
  auto& cache = config_->SchemaCache();
  ASSERT_EQ(cache.size(), 2u);
  ASSERT_TRUE(cache["invoice-types.xsd"] && cache["invoice-types.xsd"]->Good());
  EXPECT_EQ(cache["invoice-types.xsd"]->Text(), fixture::Read("package/schemas/common/invoice-types.xsd"));
  ASSERT_TRUE(cache["attachment.xsd"] && cache["attachment.xsd"]->Good());
}

TEST_F(RefDocumentLoaderTest, CachedSchemaIsServedBeforeAnyLoader) {
  auto loader = Serve({{"t.xsd", "<not a schema"}});
  config_->SchemaCache()["t.xsd"] = std::make_shared<XsdDoc>(kTypeSchema);
  EXPECT_TRUE(XsdDoc(SchemaIncluding("t.xsd")).Good());
  EXPECT_THAT(loader->asked, IsEmpty());
}

TEST_F(RefDocumentLoaderTest, ReferenceIsLookedUpByItsLastPathComponent) {
  // libxml2 hands over relative references as written and joins nested ones
  // with the including document's URI; the package is flat, so only the name counts.
  for (const char* location : {"t.xsd", "schemas/common/t.xsd", "../up/t.xsd", "file:///elsewhere/t.xsd"}) {
    auto loader = Serve({{"t.xsd", kTypeSchema}});
    config_->SchemaCache().clear();
    EXPECT_TRUE(XsdDoc(SchemaIncluding(location)).Good()) << location;
    EXPECT_THAT(loader->asked, ElementsAre("t.xsd")) << location;
    EXPECT_EQ(config_->SchemaCache().count("t.xsd"), 1u) << location;
  }
}

TEST_F(RefDocumentLoaderTest, OnlyLowerOrUpperCaseExtensionsAreHandled) {
  const struct {
    const char* name;
    bool handled;
  } cases[] = {
      {"t.xsd", true},
      {"T.XSD", true},
      {"t.Xsd", false},
      {"t.xSD", false},
  };
  for (const auto& c : cases) {
    auto loader = Serve({{c.name, kTypeSchema}});
    EXPECT_EQ(XsdDoc(SchemaIncluding(c.name)).Good(), c.handled) << c.name;
    EXPECT_EQ(loader->asked.size(), c.handled ? 1u : 0u) << c.name;
  }
}

// libxml2 would read a reference it cannot get elsewhere from the working
// directory or an absolute path. Here nothing but the cache and the loaders
// may serve one.
TEST_F(RefDocumentLoaderTest, NothingIsReadFromTheFileSystem) {
  belmor::testing::TempDir cwd;
  // A decoy that would break the invoice schema: without NonEmptyText and the
  // rest, invoice-1.0.xsd cannot compile against it.
  belmor::testing::WriteFile(cwd.Sub("invoice-types.xsd"), kTypeSchema);
  for (const char* name : {"on-disk.xsd", "on-disk.Xsd", "on-disk.txt"}) {
    belmor::testing::WriteFile(cwd.Sub(name), kTypeSchema);
  }
  ScopedCwd inside(cwd.path());

  auto loader = Serve(fixture::FlatPackage());
  XsdDoc invoice(fixture::Read("package/schemas/invoice-1.0.xsd"));
  ASSERT_TRUE(invoice.Good());
  EXPECT_TRUE(invoice.Validate(XmlDoc(fixture::Read("invoices/invoice-1.0-valid.xml"))));

  for (const std::string& location : {std::string("on-disk.xsd"), cwd.Sub("on-disk.xsd"),
                                      "file://" + cwd.Sub("on-disk.xsd"), std::string("on-disk.Xsd"),
                                      std::string("on-disk.txt")}) {
    EXPECT_FALSE(XsdDoc(SchemaIncluding(location)).Good()) << location;
  }
  EXPECT_EQ(config_->SchemaCache().count("on-disk.xsd"), 0u);
  // The price of that: no libxml2 file reading at all, which nothing here uses.
  std::unique_ptr<xmlDoc, XmlDocDeleter> read(xmlReadFile(cwd.Sub("on-disk.xsd").c_str(), nullptr, 0));
  EXPECT_EQ(read, nullptr);
}

TEST_F(RefDocumentLoaderTest, LoadersAreAskedInTurnAndFailuresLogged) {
  auto second = std::make_shared<fixture::RecordingLoader>(std::map<std::string, std::string>{{"t.xsd", kTypeSchema}});
  RefDocumentLoader::Init(config_);
  {
    fixture::LogCapture log;
    RefDocumentLoader::SetLoaders(
        {std::make_shared<fixture::FailingLoader<common::FileNotFoundException>>(),
         std::make_shared<fixture::RecordingLoader>(std::map<std::string, std::string>{}), second});
    EXPECT_TRUE(XsdDoc(SchemaIncluding("sub/t.xsd")).Good());
    EXPECT_TRUE(log.Has("ConfigLoader::fileOpen: file not found: sub/t.xsd"));
  }
  EXPECT_THAT(second->asked, ElementsAre("t.xsd"));

  // No loader has it: the reference fails and nothing is cached.
  RefDocumentLoader::SetLoaders({std::make_shared<fixture::FailingLoader<std::runtime_error>>()});
  EXPECT_FALSE(XsdDoc(SchemaIncluding("u.xsd")).Good());
  RefDocumentLoader::SetLoaders({});
  EXPECT_FALSE(XsdDoc(SchemaIncluding("u.xsd")).Good());
  EXPECT_EQ(config_->SchemaCache().count("u.xsd"), 0u);
}

TEST_F(RefDocumentLoaderTest, ReferencesFailOnceTheConfigIsGone) {
  auto loader = Serve({{"t.xsd", kTypeSchema}});
  config_.reset();
  EXPECT_FALSE(XsdDoc(SchemaIncluding("t.xsd")).Good());
  EXPECT_THAT(loader->asked, IsEmpty());
}

TEST_F(RefDocumentLoaderTest, SchemasThatIncludeEachOtherCompile) {
  // Caching an included schema compiles it on its own, which must not chase the
  // cycle back and forth.
  auto loader = Serve({
      {"a.xsd", std::string(kSchemaHead) + R"(<xs:include schemaLocation="b.xsd"/>
          <xs:simpleType name="A"><xs:restriction base="xs:string"/></xs:simpleType>
          <xs:element name="a" type="B"/></xs:schema>)"},
      {"b.xsd", std::string(kSchemaHead) + R"(<xs:include schemaLocation="a.xsd"/>
          <xs:simpleType name="B"><xs:restriction base="xs:int"/></xs:simpleType>
          <xs:element name="b" type="A"/></xs:schema>)"},
  });
  XsdDoc top(std::string(kSchemaHead) + R"(<xs:include schemaLocation="a.xsd"/></xs:schema>)");
  ASSERT_TRUE(top.Good());
  EXPECT_TRUE(top.Validate(XmlDoc("<a>5</a>")));
  EXPECT_FALSE(top.Validate(XmlDoc("<a>text</a>")));
  EXPECT_TRUE(top.Validate(XmlDoc("<b>text</b>")));
}

TEST_F(RefDocumentLoaderTest, StylesheetIncludeIsServedButNotCachedAsSchema) {
  Serve({{"common.xsl", R"(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
           <xsl:template name="mark"><included/></xsl:template></xsl:stylesheet>)"}});
  XslDoc sheet(R"(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
      <xsl:include href="common.xsl"/>
      <xsl:template match="/"><out><xsl:call-template name="mark"/></out></xsl:template></xsl:stylesheet>)");
  ASSERT_TRUE(sheet.Good());
  auto result = sheet.Transform(XmlDoc("<in/>"), {});
  ASSERT_TRUE(result);
  EXPECT_NE(result->ToString().find("<out><included/></out>"), std::string::npos);
  EXPECT_THAT(config_->SchemaCache(), IsEmpty());
}

}  // namespace
}  // namespace belmor::korvex
