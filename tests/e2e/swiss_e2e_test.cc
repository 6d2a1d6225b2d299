// Swiss general invoice requests (4.5 and 5.0) through the whole pipeline to
// the test trust center. What the trust center received is opened with the
// openssl command and the recipients' keys, not with the program's own code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/client_config.h"
#include "e2e/e2e_support.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/report.h"
#include "transport/smime_test_util.h"

namespace belmor::korvex::e2e {
namespace {

namespace fs = std::filesystem;
using belmor::testing::ReadFile;
using belmor::testing::WriteFile;
using korvex::testing::RunCommand;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kInvoiceNs[] = "http://www.forum-datenaustausch.ch/invoice";
constexpr char kTransferNs[] = "urn:korvex:datatransfer";
constexpr int32_t kCodeDuplicate = 12;

std::string Sample(const std::string& name) { return ReadFile(ShippedConfigDir() + "invoices/" + name); }

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

DocPtr Parse(const std::string& text) {
  return DocPtr(xmlReadMemory(text.data(), static_cast<int>(text.size()), "invoice.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

std::string Content(const xmlNode* node) {
  xmlChar* text = xmlNodeGetContent(node);
  std::string value = text ? reinterpret_cast<const char*>(text) : "";
  xmlFree(text);
  return value;
}

std::string Attribute(const xmlNode* node, const char* name) {
  xmlChar* text = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  std::string value = text ? reinterpret_cast<const char*>(text) : "";
  xmlFree(text);
  return value;
}

// The elements an XPath expression selects (prefixes "inv" and "korvex").
std::vector<xmlNode*> Select(xmlDoc* doc, const std::string& path) {
  std::vector<xmlNode*> nodes;
  std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> context(xmlXPathNewContext(doc),
                                                                          xmlXPathFreeContext);
  xmlXPathRegisterNs(context.get(), BAD_CAST "inv", BAD_CAST kInvoiceNs);
  xmlXPathRegisterNs(context.get(), BAD_CAST "korvex", BAD_CAST kTransferNs);
  std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> result(
      xmlXPathEvalExpression(BAD_CAST path.c_str(), context.get()), xmlXPathFreeObject);
  if (result && result->nodesetval) {
    for (int i = 0; i < result->nodesetval->nodeNr; ++i) nodes.push_back(result->nodesetval->nodeTab[i]);
  }
  return nodes;
}

// An element as data: its name, namespace, attributes and, in order, its
// child elements and text, blanks collapsed. Two elements with the same
// signature carry the same invoice data, however they are indented.
std::string Signature(const xmlNode* node) {
  std::string out = "<";
  if (node->ns && node->ns->href) out += std::string(reinterpret_cast<const char*>(node->ns->href)) + "|";
  out += reinterpret_cast<const char*>(node->name);
  std::map<std::string, std::string> attributes;
  for (const xmlAttr* a = node->properties; a; a = a->next) {
    attributes[reinterpret_cast<const char*>(a->name)] = Attribute(node, reinterpret_cast<const char*>(a->name));
  }
  for (const auto& [name, value] : attributes) out += " " + name + "=" + value;
  out += ">";
  for (const xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      out += Signature(child);
    } else if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      std::string text = std::regex_replace(Content(child), std::regex("[ \t\r\n]+"), " ");
      if (text != " ") out += text;
    }
  }
  return out + "</>";
}

// One block of an upload opened with the openssl command: the element it
// held, re-parsed, or empty when openssl refused it or the text is no element.
struct Opened {
  bool decrypted = false;
  std::string failure;  // what openssl said when it refused
  std::string signature;
  std::string text;
};

Opened OpenWithOpenssl(const TrustCenterSim& sim, const std::string& block, const std::string& recipient,
                       const std::string& scratch) {
  Opened opened;
  WriteFile(scratch + "/block.b64", block + "\n");
  const std::string keys = sim.RecipientsDir() + "/" + recipient;
  const auto run = RunCommand("openssl base64 -d -in '" + scratch + "/block.b64' -out '" + scratch +
                              "/block.der' && openssl smime -decrypt -inform DER -in '" + scratch +
                              "/block.der' -recip '" + keys + ".crt' -inkey '" + keys + ".key' -out '" + scratch +
                              "/block.xml'");
  if (run.status != 0) {
    opened.failure = run.output;
    return opened;
  }
  opened.decrypted = true;
  opened.text = ReadFile(scratch + "/block.xml");
  // The block is an element cut out of the invoice: its prefixes are declared
  // further up, so it is read inside an element that declares them again.
  const DocPtr doc = Parse(std::string("<wrap xmlns=\"") + kInvoiceNs + "\" xmlns:invoice=\"" + kInvoiceNs + "\">" +
                           opened.text + "</wrap>");
  if (!doc) return opened;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  for (const xmlNode* child = root->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      opened.signature = Signature(child);
      break;
    }
  }
  return opened;
}

class SwissInvoiceTest : public ::testing::Test {
 protected:
  void SetUp() override { practice_.PreloadToken(); }

  void Drop(const std::string& sample, const std::string& as) const {
    WriteFile(practice_.InvoiceDir() + as, Sample(sample));
  }

  // The uploads by the file name the trust center's wrapper names.
  std::map<std::string, std::string> UploadsByFile() const {
    std::map<std::string, std::string> uploads;
    static const std::regex kFile("<korvex:datatransfer [^>]*filename=\"([^\"]*)\"");
    for (const std::string& upload : sim_.Uploads()) {
      std::smatch m;
      uploads[std::regex_search(upload, m, kFile) ? m[1].str() : "?"] = upload;
    }
    return uploads;
  }

  // The names of the regular files below a directory.
  static std::set<std::string> FilesIn(const std::string& dir) {
    std::set<std::string> names;
    if (!fs::is_directory(dir)) return names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (entry.is_regular_file()) names.insert(entry.path().filename().string());
    }
    return names;
  }

  static std::set<std::string> ReportedFiles(Engine& engine, int32_t code) {
    std::set<std::string> files;
    for (const auto& report : engine.Sink().WithCode(code)) files.insert(report.fileName);
    return files;
  }

  TrustCenterSim sim_;
  Practice practice_{sim_};
  belmor::testing::TempDir scratch_;
};

// Each sample arrives once, wrapped for the center's recipients: nothing of
// the patient in clear, every block opens with either recipient's key into
// the very element of the invoice it replaced (the large attachment too), and
// the invoice's numbers stay readable for the trust center.
TEST_F(SwissInvoiceTest, SamplesOfBothVersionsArriveWithThePatientOnlyInBlocksTheRecipientsOpen) {
  const struct {
    const char* sample;
    const char* id;
    std::vector<std::string> hidden;
  } cases[] = {
      {"gir-4.5-physician.xml", "GIR45-2026-0101", {"Müller", "Jürg", "Seestrasse", "1961-03-14", "7561234567897"}},
      {"gir-4.5-attachment.xml", "GIR45-2026-0117", {"Favre", "Élodie", "1987-09-02", "7569876543210"}},
      {"gir-5.0-physician.xml", "GIR50-2026-0201", {"Müller", "Jürg", "Seestrasse", "1961-03-14", "7561234567897"}},
      {"gir-5.0-attachment.xml", "GIR50-2026-0233", {"Weber", "Thomas", "1979-06-21", "Holzbau Greifensee"}},
  };
  for (const auto& c : cases) Drop(c.sample, c.sample);

  Engine engine;
  ASSERT_TRUE(engine.Run(Processing::Auto));
  EXPECT_THAT(engine.Sink().Errors(), IsEmpty());

  const auto uploads = UploadsByFile();
  ASSERT_EQ(sim_.Uploads().size(), std::size(cases));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sample);
    ASSERT_EQ(uploads.count(c.sample), 1u);
    const std::string& upload = uploads.at(c.sample);
    const DocPtr received = Parse(upload);
    ASSERT_TRUE(received);
    // Found or not is all a failure needs to say: an upload runs to megabytes.
    for (const std::string& value : c.hidden) EXPECT_EQ(upload.find(value), std::string::npos) << value;
    EXPECT_NE(upload.find("request_id=\"" + std::string(c.id) + "\""), std::string::npos);

    const DocPtr original = Parse(Sample(c.sample));
    ASSERT_TRUE(original);
    // Each block holds one element of the invoice, named by the block.
    const auto patients = Select(received.get(), "//korvex:patient");
    ASSERT_EQ(patients.size(), 1u);
    auto blocks = Select(received.get(), "//korvex:protected");
    blocks.insert(blocks.begin(), patients.front());
    for (const xmlNode* block : blocks) {
      const std::string local = reinterpret_cast<const char*>(block->name);
      const std::string name = local == "patient" ? local : Attribute(block, "element");
      std::set<std::string> candidates;
      for (const xmlNode* element : Select(original.get(), "//inv:" + name)) candidates.insert(Signature(element));
      ASSERT_FALSE(candidates.empty()) << name;
      for (const std::string recipient : {"tcnord-a", "tcnord-b"}) {
        SCOPED_TRACE(name + " for " + recipient);
        const Opened opened = OpenWithOpenssl(sim_, Content(block), recipient, scratch_.path());
        ASSERT_TRUE(opened.decrypted) << opened.failure;
        EXPECT_EQ(candidates.count(opened.signature), 1u) << opened.text.substr(0, 400);
      }
    }
    // The patient block is the patient, with the names in UTF-8.
    const Opened patient = OpenWithOpenssl(sim_, Content(patients.front()), "tcnord-a", scratch_.path());
    EXPECT_EQ(patient.signature, Signature(Select(original.get(), "//inv:patient").at(0)));
    EXPECT_THAT(patient.text, HasSubstr(c.hidden[0]));
    // A recipient of another center opens nothing.
    EXPECT_FALSE(OpenWithOpenssl(sim_, Content(patients.front()), "tcsued-a", scratch_.path()).decrypted);
  }

  // The attachments came through whole: the PDF in the block is the PDF sent.
  for (const char* sample : {"gir-4.5-attachment.xml", "gir-5.0-attachment.xml"}) {
    SCOPED_TRACE(sample);
    const DocPtr received = Parse(uploads.at(sample));
    const auto documents = Select(received.get(), "//korvex:protected[@element = 'documents']");
    ASSERT_EQ(documents.size(), 1u);
    const Opened opened = OpenWithOpenssl(sim_, Content(documents[0]), "tcnord-b", scratch_.path());
    const DocPtr original = Parse(Sample(sample));
    const std::string pdf = Content(Select(original.get(), "//inv:documents//inv:base64").at(0));
    ASSERT_GT(pdf.size(), 900000u);
    const std::string base64 = std::regex_replace(pdf, std::regex("^[ \t\r\n]+|[ \t\r\n]+$"), "");
    EXPECT_NE(opened.signature.find(std::regex_replace(base64, std::regex("[ \t\r\n]+"), " ")), std::string::npos);
  }

  EXPECT_EQ(FilesIn(practice_.Work("archive")),
            (std::set<std::string>{"gir-4.5-physician.xml", "gir-4.5-attachment.xml", "gir-5.0-physician.xml",
                                   "gir-5.0-attachment.xml"}));
  EXPECT_EQ(practice_.DuplicateLogIds(),
            (std::set<std::string>{"GIR45-2026-0101", "GIR45-2026-0117", "GIR50-2026-0201", "GIR50-2026-0233"}));
}

// A reversal carries the number of the invoice it cancels but is no copy of
// it: it goes out after the invoice. A second copy of either is refused as a
// duplicate and stays with the practice, in the next run as in the same one.
TEST_F(SwissInvoiceTest, AStornoGoesOutOnceAfterItsInvoiceAndCopiesOfEitherAreRefused) {
  Drop("gir-4.5-physician.xml", "rechnung-45.xml");
  Drop("gir-5.0-physician.xml", "rechnung-50.xml");
  Engine engine;
  ASSERT_TRUE(engine.Run(Processing::Auto));
  EXPECT_THAT(engine.Sink().Errors(), IsEmpty());
  ASSERT_EQ(sim_.Uploads().size(), 2u);

  // The same invoices again under other names, with their reversals.
  Drop("gir-4.5-physician.xml", "rechnung-45-nochmals.xml");
  Drop("gir-5.0-physician.xml", "rechnung-50-nochmals.xml");
  Drop("gir-4.5-storno.xml", "storno-45.xml");
  Drop("gir-5.0-storno.xml", "storno-50.xml");
  ASSERT_TRUE(engine.Run(Processing::Auto));
  EXPECT_EQ(ReportedFiles(engine, kCodeDuplicate),
            (std::set<std::string>{"rechnung-45-nochmals.xml", "rechnung-50-nochmals.xml"}));
  auto uploads = UploadsByFile();
  EXPECT_EQ(uploads.size(), 4u);
  ASSERT_EQ(uploads.count("storno-45.xml"), 1u);
  ASSERT_EQ(uploads.count("storno-50.xml"), 1u);
  // What arrived is the reversal, still readable as one.
  EXPECT_THAT(uploads["storno-45.xml"], HasSubstr("storno=\"true\""));
  EXPECT_THAT(uploads["storno-50.xml"], HasSubstr("request_subtype=\"storno\""));

  // A reversal sent is a duplicate too.
  Drop("gir-4.5-storno.xml", "storno-45-nochmals.xml");
  Drop("gir-5.0-storno.xml", "storno-50-nochmals.xml");
  ASSERT_TRUE(engine.Run(Processing::Auto));
  EXPECT_EQ(sim_.Uploads().size(), 4u);
  EXPECT_EQ(ReportedFiles(engine, kCodeDuplicate),
            (std::set<std::string>{"rechnung-45-nochmals.xml", "rechnung-50-nochmals.xml", "storno-45-nochmals.xml",
                                   "storno-50-nochmals.xml"}));
  EXPECT_EQ(FilesIn(engine.Get()->GetClientConfig()->GetPathError().ToString()),
            (std::set<std::string>{"rechnung-45-nochmals.xml", "rechnung-50-nochmals.xml", "storno-45-nochmals.xml",
                                   "storno-50-nochmals.xml"}));
  EXPECT_EQ(FilesIn(practice_.Work("archive")),
            (std::set<std::string>{"rechnung-45.xml", "rechnung-50.xml", "storno-45.xml", "storno-50.xml"}));
  EXPECT_THAT(FilesIn(practice_.InvoiceDir()), IsEmpty());

  // The duplicate log holds each number twice: the invoice and its reversal.
  std::multiset<std::string> storno;
  std::istringstream log(ReadFile(practice_.Work("korvex.log")));
  std::string line;
  std::getline(log, line);
  while (std::getline(log, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    storno.insert(line.substr(0, line.find('|')) + (line.back() == '1' ? " storno" : ""));
  }
  EXPECT_EQ(storno, (std::multiset<std::string>{"GIR45-2026-0101", "GIR45-2026-0101 storno", "GIR50-2026-0201",
                                                "GIR50-2026-0201 storno"}));
}

}  // namespace
}  // namespace belmor::korvex::e2e
