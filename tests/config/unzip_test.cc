#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/zip_config_loader.h"
#include "package_fixture.h"
#include "support/zip_builder.h"

namespace belmor::compress {
namespace {

using belmor::testing::ZipBuilder;
using Files = std::map<std::string, std::string>;

// Runs the unpacking and hands back the debug lines it wrote, so a test can
// see the library error lines; nothing may reach standard output or error.
Files UnzipCapturing(const std::string& archive, std::string& output, uint64_t cap = kMaxUnpackedSize) {
  belmor::korvex::fixture::LogCapture log;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  auto finish = [&] {
    output = log.Text();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  };
  Files files;
  try {
    files = UnzipToMap(archive, cap);
  } catch (...) {
    finish();
    throw;
  }
  finish();
  return files;
}

TEST(UnzipToMapTest, FlattensEntriesAndSkipsDirectories) {
  std::string big(3 * 8192 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  const std::string archive = ZipBuilder()
                                  .Add("schemas/", "")
                                  .Add("schemas/common/", "")
                                  .Add("schemas/common/types.xsd", "<types/>")
                                  .Add("stylesheets\\keys.xsl", "<keys/>", false)
                                  .Add("top.txt", "top")
                                  .Add("deep/a/b/c/empty.txt", "")
                                  .Add("chunk.bin", std::string(8192, 'x'), false)
                                  .Add("big.bin", big)
                                  .Build();
  EXPECT_EQ(UnzipToMap(archive), (Files{{"types.xsd", "<types/>"},
                                        {"keys.xsl", "<keys/>"},
                                        {"top.txt", "top"},
                                        {"empty.txt", ""},
                                        {"chunk.bin", std::string(8192, 'x')},
                                        {"big.bin", big}}));
}

TEST(UnzipToMapTest, LaterEntryOfTheSameBareNameWins) {
  EXPECT_EQ(UnzipToMap(ZipBuilder().Add("v1/x.xsd", "one").Add("v2/x.xsd", "two").Build()),
            (Files{{"x.xsd", "two"}}));
  EXPECT_EQ(UnzipToMap(ZipBuilder().Add("v2/x.xsd", "two").Add("x.xsd", "root").Add("v1\\x.xsd", "one").Build()),
            (Files{{"x.xsd", "one"}}));
}

TEST(UnzipToMapTest, UnpacksTheFixturePackageByBareName) {
  EXPECT_EQ(UnzipToMap(korvex::fixture::PackageZip()), korvex::fixture::FlatPackage());
}

TEST(UnzipToMapTest, BytesThatAreNoArchiveRaiseNoZipFile) {
  const std::string archive = ZipBuilder().Add("a.txt", "alpha").Build();
  const std::string cases[] = {
      "",
      "plain text, not a zip",
      std::string("PK\x03\x04", 4) + std::string(64, '\0'),
      archive.substr(0, archive.size() / 2),
  };
  for (const auto& bytes : cases) {
    try {
      UnzipToMap(bytes);
      ADD_FAILURE() << "no exception for " << bytes.size() << " bytes";
    } catch (const NoZipFileException& e) {
      EXPECT_EQ(e.Message(), "No valid zip file content");
      EXPECT_STREQ(e.Description(), "No valid Zip File exception");
    }
  }
}

// Every cut of an archive either is refused or gives entries that are whole;
// under the sanitizers this also proves the stream never reads or seeks out of
// its bytes.
TEST(UnzipToMapTest, TruncatedArchiveNeverYieldsDamagedEntries) {
  const Files full = {{"a.txt", std::string(300, 'a')}, {"b.txt", "bravo"}, {"c.txt", std::string(5000, 'c')}};
  ZipBuilder builder;
  for (const auto& [name, bytes] : full) builder.Add("dir/" + name, bytes);
  const std::string archive = builder.Build();
  for (size_t length = 0; length < archive.size(); ++length) {
    std::string output;
    try {
      Files files = UnzipCapturing(archive.substr(0, length), output);
      for (const auto& [name, bytes] : files) EXPECT_EQ(bytes, full.at(name)) << "cut at " << length;
    } catch (const NoZipFileException&) {
    }
  }
}

TEST(UnzipToMapTest, DamagedEntryEndsUnpackingWithTheEntriesBeforeIt) {
  const struct {
    const char* what;
    bool deflate;
    const char* line;
  } cases[] = {
      // Stored bytes inflate fine; only the CRC at the end tells.
      {"stored", false, "with zipfile in unzCloseCurrentFile]"},
      {"deflated", true, "with zipfile in unzReadCurrentFile]"},
  };
  for (const auto& c : cases) {
    const std::string damaged(4000, 'B');
    std::string archive = ZipBuilder()
                              .Add("a.txt", "alpha")
                              .Add("b.txt", damaged, c.deflate)
                              .Add("c.txt", "charlie")
                              .Build();
    // The entry's data follows its local header and name; damage its middle.
    size_t data = archive.find("b.txt") + 5;
    size_t end = archive.find("PK\x03\x04", data);
    ASSERT_NE(end, std::string::npos);
    for (size_t i = data + (end - data) / 3; i < data + 2 * (end - data) / 3; ++i) archive[i] ^= 0x5a;

    std::string output;
    EXPECT_EQ(UnzipCapturing(archive, output), (Files{{"a.txt", "alpha"}})) << c.what;
    EXPECT_THAT(output, ::testing::HasSubstr(c.line)) << c.what;
    EXPECT_THAT(output, ::testing::ContainsRegex("\\[UnzipToMap\\]\\[error -[0-9]+ with")) << c.what;
  }
}

TEST(UnzipToMapTest, UnpackedSizeCapStopsAZipBomb) {
  // A megabyte of zeros deflates to about a kilobyte.
  const std::string archive = ZipBuilder()
                                  .Add("first.txt", std::string(1000, 'f'))
                                  .Add("bomb.bin", std::string(1 << 20, '\0'))
                                  .Add("after.txt", "after")
                                  .Build();
  ASSERT_LT(archive.size(), 16u * 1024);

  std::string output;
  EXPECT_EQ(UnzipCapturing(archive, output, 64 * 1024), (Files{{"first.txt", std::string(1000, 'f')}}));
  EXPECT_THAT(output,
              ::testing::ContainsRegex("\\[UnzipToMap\\]\\[error -[0-9]+ with zipfile in unzReadCurrentFile\\]"));

  // The same archive under the cap is whole: the cap, not the archive, stopped it.
  EXPECT_EQ(UnzipCapturing(archive, output, (1 << 20) + 1005).size(), 3u);
  EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace belmor::compress
