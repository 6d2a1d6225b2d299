// The viewer's invoice pane: what it reads from the fixture invoices, the
// Swiss General Invoice Request 4.5 and 5.0, the anonymised invoices of work
// "output" and the archive, and that anything else, broken or large, shows
// only "Unbekanntes Dateiformat".

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <future>
#include <ostream>
#include <string>
#include <vector>

#include "support/invoice_factory.h"
#include "support/temp_dir.h"
#include "ui/invoice_reader.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

void PrintTo(const InvoicePaneTexts& texts, std::ostream* out) {
  auto shown = [](QString text) { return text.replace(QLatin1String("\r\n"), QLatin1String("|")).toStdString(); };
  *out << "{doc \"" << shown(texts.doc) << "\", pat \"" << shown(texts.pat) << "\", inv \"" << shown(texts.inv)
       << "\"}";
}

namespace {

using belmor::testing::ReadFile;

InvoicePaneTexts Read(const std::string& content) {
  return ReadInvoicePane(QByteArray(content.data(), static_cast<qsizetype>(content.size())));
}

InvoicePaneTexts Texts(const std::string& doc, const std::string& pat, const std::string& inv) {
  return {QString::fromStdString(doc), QString::fromStdString(pat), QString::fromStdString(inv)};
}

const InvoicePaneTexts kUnknown = Texts("Unbekanntes Dateiformat", "", "");

std::string InvoiceFile(const std::string& name) {
  // From the build's own record of the source tree: __FILE__ may be relative
  // (a compiler cache gives relative paths), and tests run in other folders.
  return ReadFile(std::string(KORVEX_SOURCE_DIR) + "/testing/trustcenter/config/invoices/" + name);
}

// Every test reads the German texts unless it chooses French.
class InvoicePaneTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLanguage(Language::German); }
  void TearDown() override { SetLanguage(Language::German); }
};

std::string Base64Lines(size_t bytes) {
  static const std::string kLine = "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFIvRmlsdGVyIC9GbGF0ZURlY29k\n";
  std::string text;
  while (text.size() < bytes) text += kLine;
  return text;
}

std::string Repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// --- the fixture invoices ---------------------------------------------------

const InvoicePaneTexts kFixture10 = Texts(
    "Arzt:\r\nPraxis Dr. Muster",
    "Patient:\r\nAnna Meier\r\nPatient-ID: 756.1234.5678.97\r\nGeschlecht: female\r\nGeburtsdatum: 1980-05-17",
    "Behandlung von / bis:\r\n2026-11-01 / 2026-11-20\r\nRechnung-Nr: R-2026-0001\r\nRechnungsdatum: 2026-11-30");

TEST_F(InvoicePaneTest, FixtureInvoicesOfEveryVersion) {
  const struct {
    const char* file;
    InvoicePaneTexts expected;
  } cases[] = {
      {"invoice-1.0-valid.xml", kFixture10},
      {"invoice-2.0-valid.xml",
       Texts("Arzt:\r\nPraxis Dr. Muster",
             "Patient:\r\nOtto Schmidt\r\nPatient-ID: 756.9876.5432.10\r\nGeschlecht: male\r\nGeburtsdatum: 1955-02-03",
             "Behandlung von / bis:\r\n2026-11-15 / 2026-11-28\r\nRechnung-Nr: R-2026-0002\r\n"
             "Rechnungsdatum: 2026-12-01")},
      // The pane does not validate: a well-formed invoice that its schema
      // refuses (a 31 November, a sex the schema does not know) shows as it is.
      {"invoice-1.0-schema-error.xml",
       Texts("Arzt:\r\nPraxis Dr. Muster",
             "Patient:\r\nMax Muster\r\nPatient-ID: 756.1111.2222.33\r\nGeschlecht: other\r\nGeburtsdatum: 1990-01-01",
             "Behandlung von / bis:\r\n2026-11-01 / 2026-11-02\r\nRechnung-Nr: R-2026-0003\r\n"
             "Rechnungsdatum: 2026-11-31")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(InvoiceFile(c.file)), c.expected) << c.file;
  }
}

// Values are found by element, not by position or prefix: another order, a
// prefix, blanks around the values and a version to come read the same.
TEST_F(InvoicePaneTest, FixtureInvoiceIndependentOfLayout) {
  const std::string cases[] = {
      R"(<f:invoice xmlns:f="urn:belmor:fixture:invoice:1.0">
           <f:treatment end="2026-11-20" begin="2026-11-01"/>
           <f:patient birthdate="1980-05-17" sex="female" id="756.1234.5678.97">
             <f:givenname>
               Anna
             </f:givenname>
             <f:familyname>Meier</f:familyname>
           </f:patient>
           <f:biller esr="1" ean="2" zsr="3"><f:name>Praxis Dr. Muster</f:name></f:biller>
           <f:date>2026-11-30</f:date><f:number> R-2026-0001 </f:number>
         </f:invoice>)",
      R"(<?xml version="1.0"?>
         <!-- a comment --><?pi data?>
         <invoice xmlns="urn:belmor:fixture:invoice:3.1"><number>R-2026-<![CDATA[0001]]></number>
           <date>2026-11-30</date><amount>1.00</amount><storno>true</storno>
           <biller esr="1" ean="2" zsr="3"><name>Praxis Dr. Muster</name></biller>
           <patient id="756.1234.5678.97" sex="female" birthdate="1980-05-17">
             <familyname>Meier</familyname><givenname>Anna</givenname></patient>
           <treatment begin="2026-11-01" end="2026-11-20"/></invoice>)",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(Read(text), kFixture10) << text;
  }
}

// --- the General Invoice Request ---------------------------------------------

// Around a body: the request with its processing and the payload's invoice.
std::string Request45(const std::string& invoice, const std::string& body) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<request xmlns="http://www.forum-datenaustausch.ch/invoice" language="de" modus="test">
  <processing><transport from="7601000000001" to="7601003000115"><via via="7601001304307" sequence_id="1"/>
    </transport></processing>
  <payload type="invoice" storno="false">
    )" + invoice + "\n" + body + "\n  </payload>\n</request>\n";
}
std::string Request50(const std::string& invoice, const std::string& body) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<invoice:request xmlns:invoice="http://www.forum-datenaustausch.ch/invoice" language="fr" modus="test"
                 guid="0123456789abcdef0123456789abcdef">
  <invoice:processing><invoice:transport from="7601000000001" to="7601003000115"/></invoice:processing>
  <invoice:payload request_type="invoice" request_subtype="normal">
    )" + invoice + "\n" + body + "\n  </invoice:payload>\n</invoice:request>\n";
}

const char kInvoice45[] =
    R"(<invoice request_timestamp="1796220000" request_date="2026-12-02T00:00:00" request_id="GIR45-0101"/>)";

// The parties the pane must not take for the biller or the patient: the
// debitor, provider, insured, guarantor and referrer of a 4.5 invoice.
const char kOtherParties45[] = R"(
        <debitor ean_party="7601003000115"><company><companyname>Krankenkasse AG</companyname>
          <postal><pobox>Postfach</pobox><zip>3000</zip><city>Bern</city></postal></company></debitor>
        <provider ean_party="7601000000002" zsr="B234567"><person><familyname>Rossi</familyname>
          <givenname>Marco</givenname>
          <postal><street>Seefeldstrasse 88</street><zip>8008</zip><city>Zürich</city></postal></person></provider>)";
const char kGuarantor45[] = R"(
        <insured gender="male" birthdate="1950-01-01T00:00:00" ssn="7560000000000">
          <person><familyname>Meier</familyname><givenname>Hans</givenname>
            <postal><zip>8610</zip><city>Uster</city></postal></person></insured>
        <guarantor><person><familyname>Meier</familyname><givenname>Hans</givenname>
          <postal><street>Dorfstrasse 5</street><zip>8610</zip><city>Uster</city></postal></person></guarantor>
        <referrer><person><familyname>Keller</familyname><givenname>Ruth</givenname>
          <postal><zip>8400</zip><city>Winterthur</city></postal></person></referrer>)";

std::string Body45(const std::string& biller, const std::string& patient, const std::string& law) {
  return R"(<body role="physician" place="practice"><prolog><generator name="Praxisprogramm"/></prolog>
      <tiers_garant>
        <biller ean_party="7601000000001" zsr="A123456">)" + biller + "</biller>" + kOtherParties45 + patient +
         kGuarantor45 + R"(
        <balance amount="123.45" amount_due="123.45"><vat vat="0">
          <vat_rate vat_rate="0" amount="123.45" vat="0"/></vat></balance>
      </tiers_garant>
      <esr9 participant_number="01-12345-6" reference_number="1" coding_line="1"><creditor><company>
        <companyname>Bank</companyname>
        <postal><zip>8000</zip><city>Zürich</city></postal></company></creditor></esr9>
      )" + law + R"(
      <treatment date_begin="2026-11-03T00:00:00" date_end="2026-11-24T00:00:00" canton="ZH" reason="disease"/>
      <services><service record_id="1" tariff_type="001" code="00.0010" name="Konsultation" quantity="1"
        date_begin="2026-11-03T00:00:00" provider_id="7601000000002" responsible_id="7601000000002"
        unit="9.57" amount="18.09"/></services>
    </body>)";
}

const char kCompanyBiller[] = R"(<company><companyname>Praxis Dr. Muster AG</companyname><department>Praxis</department>
          <postal><pobox>Postfach 12</pobox><street>Bahnhofstrasse 1</street><zip statecode="ZH">8001</zip>
            <city>Zürich</city></postal>
          <telecom><phone>044 000 00 00</phone></telecom></company>)";
const char kCompanyDoc[] = "Arzt:\r\nPraxis Dr. Muster AG\r\nPostfach 12\r\nBahnhofstrasse 1\r\n8001 Zürich";

std::string Patient45(const std::string& attributes, const std::string& card = "") {
  return R"(
        <patient gender="female" birthdate="1980-05-17T00:00:00" )" + attributes + R"(>
          <person salutation="Frau"><familyname>Meier</familyname><givenname>Anna</givenname>
            <subaddressing>c/o Huber</subaddressing>
            <postal><street>Dorfstrasse 5</street><zip>8610</zip><city>Uster</city></postal></person>)" + card + R"(
        </patient>)";
}

std::string PatientText(const std::string& id) {
  return "Patient:\r\nAnna Meier\r\nDorfstrasse 5\r\n8610 Uster\r\nPatient-ID: " + id +
         "\r\nGeschlecht: female\r\nGeburtsdatum: 1980-05-17";
}

const char kInv45[] =
    "Behandlung von / bis:\r\n2026-11-03 / 2026-11-24\r\nRechnung-Nr: GIR45-0101\r\nRechnungsdatum: 2026-12-02";

TEST_F(InvoicePaneTest, GeneralInvoiceRequest45) {
  const struct {
    const char* name;
    std::string text;
    InvoicePaneTexts expected;
  } cases[] = {
      {"company biller, patient with social security number",
       Request45(kInvoice45,
                 Body45(kCompanyBiller, Patient45(R"(ssn="7561234567897")"), R"(<kvg insured_id="123.456"/>)")),
       Texts(kCompanyDoc, PatientText("7561234567897"), kInv45)},
      {"person biller without post-office box; the number only in the law",
       Request45(kInvoice45, Body45(R"(<person title="Dr. med."><familyname>Brunner</familyname>
          <givenname>Lea</givenname>
          <postal><street>Bahnhofstrasse 12</street><zip>8001</zip><city>Zürich</city></postal></person>)",
                                    Patient45(""), R"(<uvg insured_id="123.456" ssn="7569999999999"/>)")),
       Texts("Arzt:\r\nLea Brunner\r\nBahnhofstrasse 12\r\n8001 Zürich", PatientText("7569999999999"), kInv45)},
      {"no social security number: the insured number before the card",
       Request45(kInvoice45, Body45(kCompanyBiller, Patient45("", R"(<card card_id="80756000080000000001"/>)"),
                                    R"(<kvg insured_id="123.456" case_id="7"/>)")),
       Texts(kCompanyDoc, PatientText("123.456"), kInv45)},
      {"only the insurance card",
       Request45(kInvoice45, Body45(kCompanyBiller, Patient45("", R"(<card card_id="80756000080000000001"/>)"),
                                    "<org/>")),
       Texts(kCompanyDoc, PatientText("80756000080000000001"), kInv45)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.text), c.expected) << c.name;
  }
}

const char kInvoice50[] =
    R"(<invoice:invoice request_timestamp="1796652000" request_date="2026-12-07T00:00:00" request_id="GIR50-0233"/>)";

std::string Body50(const std::string& tiers, const std::string& billers) {
  return R"(<invoice:body role="physician" place="practice">
      <invoice:prolog><invoice:generator name="P"/></invoice:prolog>
      <invoice:)" + tiers + R"( allowModification="false">
        <invoice:billers>
          <invoice:biller_gln gln="7601000345678">)" + billers + R"(
        </invoice:billers>
        <invoice:debitor gln="7601003000221"><invoice:company><invoice:companyname>Krankenkasse AG</invoice:companyname>
          <invoice:postal><invoice:zip>3000</invoice:zip><invoice:city>Bern</invoice:city></invoice:postal>
            </invoice:company></invoice:debitor>
        <invoice:providers><invoice:provider_gln gln="7601000456789" gln_location="7601000456789"><invoice:person>
          <invoice:familyname>Rossi</invoice:familyname><invoice:givenname>Marco</invoice:givenname>
          <invoice:postal><invoice:zip>8008</invoice:zip><invoice:city>Zürich</invoice:city></invoice:postal>
            </invoice:person></invoice:provider_gln></invoice:providers>
        <invoice:patient gender="diverse" sex="male" birthdate="1979-06-21" ssn="7563456789012">
          <invoice:person><invoice:familyname>Weber</invoice:familyname><invoice:givenname>Thomas</invoice:givenname>
            <invoice:postal><invoice:street street_name="Dorfstrasse" house_no="41a">Dorfstrasse 41a</invoice:street>
              <invoice:zip state_code="ZH">8610</invoice:zip><invoice:city>Uster</invoice:city>
              <invoice:country country_code="CH">Schweiz</invoice:country></invoice:postal></invoice:person>
        </invoice:patient>
        <invoice:guarantor><invoice:person><invoice:familyname>Weber</invoice:familyname>
          <invoice:givenname>Eva</invoice:givenname>
          <invoice:postal><invoice:zip>8610</invoice:zip><invoice:city>Uster</invoice:city></invoice:postal>
            </invoice:person></invoice:guarantor>
        <invoice:insured gender="female" sex="female" birthdate="1980-01-01" ssn="7560000000000">
          <invoice:person><invoice:familyname>Weber</invoice:familyname><invoice:givenname>Eva</invoice:givenname>
          <invoice:postal><invoice:zip>8610</invoice:zip><invoice:city>Uster</invoice:city></invoice:postal>
            </invoice:person></invoice:insured>
        <invoice:partners/>
        <invoice:balance amount="80" amount_due="80"><invoice:vat vat="0">
          <invoice:vat_rate vat_rate="0" amount="80" vat="0"/></invoice:vat></invoice:balance>
      </invoice:)" + tiers + R"(>
      <invoice:esrQR iban="CH4431999123000889012"><invoice:bank><invoice:company>
        <invoice:companyname>Bank</invoice:companyname>
        <invoice:postal><invoice:zip>8000</invoice:zip><invoice:city>Zürich</invoice:city></invoice:postal>
          </invoice:company></invoice:bank>
        <invoice:creditor><invoice:company><invoice:companyname>Gruppenpraxis Seefeld AG</invoice:companyname>
        <invoice:postal><invoice:zip>8008</invoice:zip><invoice:city>Zürich</invoice:city></invoice:postal>
          </invoice:company></invoice:creditor></invoice:esrQR>
      <invoice:law type="KVG" card_id="80756000080000000001" insured_id="123.456"/>
      <invoice:treatment date_begin="2026-11-18" date_end="2026-12-02" canton="ZH" reason="disease"/>
      <invoice:services/>
    </invoice:body>)";
}

const char kBillerGln[] = R"(<invoice:company><invoice:companyname>Gruppenpraxis Seefeld AG</invoice:companyname>
            <invoice:postal><invoice:street>Seefeldstrasse 88</invoice:street><invoice:zip>8008</invoice:zip>
              <invoice:city>Zürich</invoice:city></invoice:postal>
          </invoice:company></invoice:biller_gln>
          <invoice:biller_zsr zsr="P345678"><invoice:person><invoice:familyname>Rossi</invoice:familyname>
            <invoice:givenname>Marco</invoice:givenname>
            <invoice:postal><invoice:street>Hottingerstrasse 3</invoice:street><invoice:zip>8032</invoice:zip>
              <invoice:city>Zürich</invoice:city></invoice:postal></invoice:person></invoice:biller_zsr>)";

const char kPat50[] =
    "Patient:\r\nThomas Weber\r\nDorfstrasse 41a\r\n8610 Uster\r\nPatient-ID: 7563456789012\r\nGeschlecht: male\r\n"
    "Geburtsdatum: 1979-06-21";
const char kInv50[] =
    "Behandlung von / bis:\r\n2026-11-18 / 2026-12-02\r\nRechnung-Nr: GIR50-0233\r\nRechnungsdatum: 2026-12-07";

TEST_F(InvoicePaneTest, GeneralInvoiceRequest50) {
  const struct {
    const char* name;
    std::string text;
    InvoicePaneTexts expected;
  } cases[] = {
      {"billers: the GLN biller, not the ZSR one; sex, not gender",
       Request50(kInvoice50, Body50("tiers_payant", kBillerGln)),
       Texts("Arzt:\r\nGruppenpraxis Seefeld AG\r\nSeefeldstrasse 88\r\n8008 Zürich", kPat50, kInv50)},
      {"tiers soldant, person biller",
       Request50(kInvoice50,
                 Body50("tiers_soldant", R"(<invoice:person><invoice:familyname>Brunner</invoice:familyname>
                   <invoice:givenname>Lea</invoice:givenname><invoice:postal><invoice:pobox>Postfach 7</invoice:pobox>
                   <invoice:zip>8001</invoice:zip><invoice:city>Zürich</invoice:city></invoice:postal>
                   </invoice:person></invoice:biller_gln>)")),
       Texts("Arzt:\r\nLea Brunner\r\nPostfach 7\r\n8001 Zürich", kPat50, kInv50)},
      // The body may go out encrypted as a whole: the invoice's number and
      // date are all there is to show.
      {"encrypted body",
       Request50(kInvoice50, R"(<xenc:EncryptedData xmlns:xenc="http://www.w3.org/2001/04/xmlenc#">
           <xenc:CipherData><xenc:CipherValue>)" + Base64Lines(4000) + R"(</xenc:CipherValue></xenc:CipherData>
         </xenc:EncryptedData>)"),
       Texts("Arzt:\r\n", "Patient:\r\n\r\nPatient-ID: \r\nGeschlecht: \r\nGeburtsdatum: ",
             "Behandlung von / bis:\r\n / \r\nRechnung-Nr: GIR50-0233\r\nRechnungsdatum: 2026-12-07")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.text), c.expected) << c.name;
  }
}

// The test trust center's sample invoices of both versions: a physician's
// invoice, its reversal (the same texts: the pane shows no storno flag) and
// one with a large embedded document.
TEST_F(InvoicePaneTest, SwissSampleInvoices) {
  const std::string brunner = "Arzt:\r\nLea Brunner\r\nBahnhofstrasse 12\r\n8001 Zürich";
  const std::string seefeld = "Arzt:\r\nGruppenpraxis Seefeld AG\r\nSeefeldstrasse 88\r\n8008 Zürich";
  const std::string mueller =
      "Patient:\r\nJürg Müller\r\nSeestrasse 7\r\n8800 Thalwil\r\nPatient-ID: 7561234567897\r\n"
      "Geschlecht: male\r\nGeburtsdatum: 1961-03-14";
  const InvoicePaneTexts physician45 = Texts(
      brunner, mueller,
      "Behandlung von / bis:\r\n2026-11-03 / 2026-11-24\r\nRechnung-Nr: GIR45-2026-0101\r\nRechnungsdatum: 2026-12-02");
  const InvoicePaneTexts physician50 = Texts(
      brunner, mueller,
      "Behandlung von / bis:\r\n2026-11-26 / 2026-12-01\r\nRechnung-Nr: GIR50-2026-0201\r\nRechnungsdatum: 2026-12-03");
  const struct {
    const char* file;
    InvoicePaneTexts expected;
  } cases[] = {
      {"gir-4.5-physician.xml", physician45},
      {"gir-4.5-storno.xml", physician45},
      {"gir-4.5-attachment.xml",
       Texts(seefeld,
             "Patient:\r\nÉlodie Favre\r\nChemin des Vignes 3\r\n1005 Lausanne\r\nPatient-ID: 7569876543210\r\n"
             "Geschlecht: female\r\nGeburtsdatum: 1987-09-02",
             "Behandlung von / bis:\r\n2026-11-10 / 2026-11-10\r\nRechnung-Nr: GIR45-2026-0117\r\n"
             "Rechnungsdatum: 2026-12-04")},
      {"gir-5.0-physician.xml", physician50},
      {"gir-5.0-storno.xml", physician50},
      {"gir-5.0-attachment.xml",
       Texts(seefeld,
             "Patient:\r\nThomas Weber\r\nDorfstrasse 41a\r\n8610 Uster\r\nPatient-ID: 7563456789012\r\n"
             "Geschlecht: male\r\nGeburtsdatum: 1979-06-21",
             "Behandlung von / bis:\r\n2026-11-18 / 2026-12-02\r\nRechnung-Nr: GIR50-2026-0233\r\n"
             "Rechnungsdatum: 2026-12-07")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(InvoiceFile(c.file)), c.expected) << c.file;
  }
}

// --- anonymised invoices -------------------------------------------------------

// As the transform step writes them to work "output" (and the archive keeps
// them): wrapped for the trust center, the patient a person code and a
// PKCS#7 block, other parts that name the patient encrypted too.
std::string Transferred(const std::string& invoice) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<korvex:datatransfer xmlns:korvex="urn:korvex:datatransfer" rcpt="tcnord-a, tcnord-b"
    libVersion="Korvex Ordiva V 5.0.3" machineID="d14efa6c" filename="praxis-0001.xml" rule="fixture-invoice-1.0">)" +
         invoice + "</korvex:datatransfer>";
}

const char kPersonCode[] = "a0f3a5a1afdf7ba08716253c2abf7b";

std::string AnonymisedPatient() {
  return std::string("<korvex:patient person=\"") + kPersonCode + "\">" + Base64Lines(3000) + "</korvex:patient>";
}

std::string Anonymised(std::string invoice) {
  invoice.erase(0, invoice.find("?>") + 2);
  const size_t begin = invoice.find("<patient");
  const size_t end = invoice.find("</patient>") + std::string("</patient>").size();
  return Transferred(invoice.replace(begin, end - begin, AnonymisedPatient()));
}

TEST_F(InvoicePaneTest, AnonymisedInvoicesShowWhatIsReadable) {
  const std::string anonymisedPat = std::string("Patient:\r\n\r\nPatient-ID: ") + kPersonCode +
                                    "\r\nGeschlecht: \r\nGeburtsdatum: ";
  const std::string protected45 =
      R"(<korvex:protected element="guarantor">)" + Base64Lines(500) + "</korvex:protected>";
  std::string body45 = Body45(kCompanyBiller, AnonymisedPatient(), R"(<korvex:protected element="kvg">)" +
                                                                        Base64Lines(500) + "</korvex:protected>");
  body45.replace(body45.find("<guarantor>"), body45.find("</referrer>") + 11 - body45.find("<guarantor>"),
                 protected45);
  const std::string request45 = Request45(kInvoice45, body45);
  const struct {
    const char* name;
    std::string text;
    InvoicePaneTexts expected;
  } cases[] = {
      {"fixture 1.0", Anonymised(InvoiceFile("invoice-1.0-valid.xml")),
       Texts(kFixture10.doc.toStdString(), anonymisedPat, kFixture10.inv.toStdString())},
      {"fixture 2.0 with attachment", Anonymised(belmor::testing::GeneratedInvoice(7)),
       Texts("Arzt:\r\nPraxis Dr. Muster", anonymisedPat,
             "Behandlung von / bis:\r\n2026-11-15 / 2026-11-28\r\nRechnung-Nr: R-GEN-000007\r\n"
             "Rechnungsdatum: 2026-12-01")},
      {"general invoice request 4.5", Transferred(request45.substr(request45.find("?>") + 2)),
       Texts(kCompanyDoc, anonymisedPat, kInv45)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.text), c.expected) << c.name;
  }
  // A transfer wrapper around something else is no invoice either.
  EXPECT_EQ(Read(Transferred("<rechnung xmlns=\"urn:example:other-format\"/>")), kUnknown);
}

// --- unknown and broken files ----------------------------------------------

TEST_F(InvoicePaneTest, OtherFormatsAreUnknown) {
  const std::string cases[] = {
      InvoiceFile("unknown-format.xml"),
      "<invoice><number>1</number></invoice>",                        // no namespace
      R"(<invoice xmlns="urn:example:invoice"><number>1</number></invoice>)",
      R"(<number xmlns="urn:belmor:fixture:invoice:1.0">1</number>)",  // the right namespace, another root
      R"(<response xmlns="http://www.forum-datenaustausch.ch/invoice" language="de"/>)",
      R"(<korvex:datatransfer xmlns:korvex="urn:korvex:datatransfer"/>)",
      "<html><body>Rechnung</body></html>",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(Read(text), kUnknown) << text;
  }
}

TEST_F(InvoicePaneTest, AFileThatIsNotWellFormedShowsNothingButUnknown) {
  const std::string valid = InvoiceFile("invoice-1.0-valid.xml");
  const std::string cases[] = {
      "",
      "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n",
      valid.substr(0, valid.size() / 2),                         // cut off mid-file
      valid.substr(0, valid.rfind("</invoice>")),                // the root never closes
      valid + "<invoice/>",                                      // a second root
      valid + "trailing text",
      std::string(valid).replace(valid.find("</number>"), 9, "</nummer>"),
      std::string(valid).replace(valid.find("Meier"), 5, "M&eacute;ier"),   // an entity XML does not know
      std::string(valid).replace(valid.find(" xmlns="), 0, " a=\"1\" a=\"2\""),
      R"(<f:invoice xmlns:g="urn:belmor:fixture:invoice:1.0"><f:number>1</f:number></f:invoice>)",
      // Bytes that are not UTF-8 in a document that says it is.
      std::string(valid).replace(valid.find("Meier"), 5, "M\xFC" "ller"),
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(Read(text), kUnknown) << text;
  }
}

// A document type may declare entities: internal ones are expanded within
// the reader's limit, external ones are never fetched.
TEST_F(InvoicePaneTest, DeclaredEntities) {
  const std::string invoice = InvoiceFile("invoice-1.0-valid.xml");
  const auto declaring = [&](const std::string& entities, const std::string& number) {
    return std::string(invoice)
        .replace(invoice.find("R-2026-0001"), 11, number)
        .insert(invoice.find("<invoice"), "<!DOCTYPE invoice [" + entities + "]>\n");
  };
  EXPECT_EQ(Read(declaring(R"(<!ENTITY nr "R-2026-0001">)", "&nr;")), kFixture10);
  EXPECT_EQ(Read(declaring(R"(<!ENTITY nr SYSTEM "file:///etc/hostname">)", "&nr;")).inv,
            QString::fromUtf8("Behandlung von / bis:\r\n2026-11-01 / 2026-11-20\r\nRechnung-Nr: \r\n"
                              "Rechnungsdatum: 2026-11-30"));
  std::string laughs = R"(<!ENTITY a0 "ha">)";
  for (int i = 1; i < 8; ++i) {
    const std::string previous = "&a" + std::to_string(i - 1) + ";";
    laughs += "<!ENTITY a" + std::to_string(i) + " \"" + Repeated(previous, 20) + "\">";
  }
  EXPECT_EQ(Read(declaring(laughs, "&a7;")), kUnknown) << "20^7 expansions";
}

TEST_F(InvoicePaneTest, EncodingsTheDocumentDeclares) {
  std::string latin1 = InvoiceFile("invoice-1.0-valid.xml");
  latin1.replace(latin1.find("UTF-8"), 5, "ISO-8859-1");
  latin1.replace(latin1.find("Meier"), 5, "M\xFCller");
  EXPECT_EQ(Read(latin1).pat, QString::fromUtf8("Patient:\r\nAnna Müller\r\nPatient-ID: 756.1234.5678.97\r\n"
                                                "Geschlecht: female\r\nGeburtsdatum: 1980-05-17"));

  std::string declared16 = InvoiceFile("invoice-1.0-valid.xml");
  declared16.replace(declared16.find("UTF-8"), 5, "UTF-16");
  std::string utf16 = "\xFF\xFE";  // little-endian byte order mark
  for (char c : declared16) {
    utf16 += c;
    utf16 += '\0';
  }
  EXPECT_EQ(Read(utf16), kFixture10);
}

// --- French --------------------------------------------------------------------

TEST_F(InvoicePaneTest, FrenchTexts) {
  SetLanguage(Language::French);
  EXPECT_EQ(Read(InvoiceFile("invoice-1.0-valid.xml")),
            Texts("Médecin:\r\nPraxis Dr. Muster",
                  "Patient:\r\nAnna Meier\r\nID patient: 756.1234.5678.97\r\nSexe: female\r\n"
                  "Date de naissance: 1980-05-17",
                  "Traitement du / au:\r\n2026-11-01 / 2026-11-20\r\nNuméro de facture: R-2026-0001\r\n"
                  "Date de facture: 2026-11-30"));
  EXPECT_EQ(Read("<broken"), Texts(Text(145, Language::French).toStdString(), "", ""));
  SetLanguage(Language::German);
  EXPECT_EQ(Read(InvoiceFile("invoice-1.0-valid.xml")), kFixture10);
  // A worker thread is given the language instead of reading the table's.
  const QByteArray valid = QByteArray::fromStdString(InvoiceFile("invoice-1.0-valid.xml"));
  EXPECT_TRUE(ReadInvoicePane(valid, Language::French).doc.startsWith(QString::fromUtf8("Médecin:")));
}

// --- large invoices ------------------------------------------------------------

// A 5 MB attachment is read through; what the reader accepts or refuses in
// it is the same as in a small one.
TEST_F(InvoicePaneTest, LargeAttachments) {
  constexpr size_t kLarge = 5 * 1024 * 1024;
  const std::string fixture = belmor::testing::GeneratedInvoice(7, kLarge);
  ASSERT_GE(fixture.size(), kLarge);
  const InvoicePaneTexts fixtureTexts = Read(belmor::testing::GeneratedInvoice(7));
  ASSERT_NE(fixtureTexts, kUnknown);

  const std::string documents = R"(<documents number="1">
      <document title="Befund" filename="befund.pdf" mimeType="application/pdf">
        <base64>)" + Base64Lines(kLarge) + "</base64></document></documents>";
  std::string request = Request45(kInvoice45, Body45(kCompanyBiller, Patient45(R"(ssn="7561234567897")"), "<kvg/>"));
  request.insert(request.find("</body>"), documents);
  const InvoicePaneTexts requestTexts = Texts(kCompanyDoc, PatientText("7561234567897"), kInv45);

  const auto broken = [](std::string text, const std::string& bad) {
    return text.replace(text.size() / 2, 0, bad);
  };
  const auto attachmentStart = [](std::string text, const std::string& head) {
    return text.replace(text.find("mime=\"text/plain\">") + 18, 0, head);
  };
  const struct {
    const char* name;
    std::string text;
    InvoicePaneTexts expected;
  } cases[] = {
      {"fixture", fixture, fixtureTexts},
      {"fixture anonymised", Anonymised(fixture),
       Texts(fixtureTexts.doc.toStdString(),
             std::string("Patient:\r\n\r\nPatient-ID: ") + kPersonCode + "\r\nGeschlecht: \r\nGeburtsdatum: ",
             fixtureTexts.inv.toStdString())},
      {"general invoice request", request, requestTexts},
      {"a reference in the attachment", broken(fixture, "&#x41;&amp;"), fixtureTexts},
      {"references where the attachment begins", attachmentStart(fixture, Repeated("&amp;", 300)), fixtureTexts},
      {"a stray ampersand in the attachment", broken(fixture, "&"), kUnknown},
      {"a character XML forbids in the attachment", broken(fixture, "\x01"), kUnknown},
      {"a CDATA end in the attachment", broken(fixture, "]]>"), kUnknown},
      {"an unknown entity in the attachment", broken(request, "&nbsp;"), kUnknown},
      {"text after the root element", fixture + std::string(3000, ' ') + "x", kUnknown},
      {"blanks after the root element", fixture + std::string(3000, ' ') + "\n", fixtureTexts},
      {"cut off in the attachment", fixture.substr(0, fixture.size() / 2), kUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.text), c.expected) << c.name;
  }
}

// Long runs of text are read as short ones are, whatever markup comes
// before them and wherever a reference stands in them.
TEST_F(InvoicePaneTest, LongTextNextToMarkup) {
  const std::string invoice = InvoiceFile("invoice-2.0-valid.xml");
  const InvoicePaneTexts expected = Read(invoice);
  ASSERT_NE(expected, kUnknown);
  const std::string attachmentStart = "mime=\"text/plain\">";
  const size_t content = invoice.find(attachmentStart) + attachmentStart.size();
  const auto withAttachment = [&](const std::string& text) {
    return std::string(invoice).replace(content, invoice.find("</att:attachment>") - content, text);
  };
  for (size_t offset = 0; offset < 3000; ++offset) {
    const std::string text =
        withAttachment(std::string(offset, 'Q') + "&amp;" + std::string(4000 - offset, 'Q'));
    if (Read(text) != expected) {
      ADD_FAILURE() << "a reference " << offset << " bytes into the attachment";
      break;
    }
  }
  std::string longAttribute = withAttachment(std::string(4000, 'Q'));
  longAttribute.replace(longAttribute.find("befund.txt"), 10, "a>" + std::string(3000, 'b'));
  EXPECT_EQ(Read(longAttribute), expected) << "an attribute with \">\" and a long value";
  std::string longInstruction = withAttachment(std::string(4000, 'Q'));
  longInstruction.insert(longInstruction.find("<invoice"), "<?note a > " + std::string(3000, 'c') + "?>");
  EXPECT_EQ(Read(longInstruction), expected) << "a processing instruction with \">\" and long content";
  std::string longComment = withAttachment(std::string(4000, 'Q'));
  longComment.insert(longComment.find("<invoice"), "<!-- a > " + std::string(3000, 'c') + " -->");
  EXPECT_EQ(Read(longComment), expected) << "a comment with \">\" and long content";
}

// The viewer reads on worker threads; readers running at once do not
// disturb each other.
TEST_F(InvoicePaneTest, ReadersOnSeveralThreads) {
  const QByteArray inputs[] = {
      QByteArray::fromStdString(belmor::testing::GeneratedInvoice(3, 512 * 1024)),
      QByteArray::fromStdString(
          Request50(kInvoice50, Body50("tiers_payant", kBillerGln))),
      QByteArray("<broken"),
  };
  std::vector<InvoicePaneTexts> expected;
  for (const QByteArray& input : inputs) expected.push_back(ReadInvoicePane(input, Language::French));
  std::vector<std::future<bool>> readers;
  for (int thread = 0; thread < 6; ++thread) {
    readers.push_back(std::async(std::launch::async, [&, thread] {
      for (int round = 0; round < 5; ++round) {
        const size_t i = static_cast<size_t>(thread + round) % expected.size();
        if (ReadInvoicePane(inputs[i], Language::French) != expected[i]) return false;
      }
      return true;
    }));
  }
  for (auto& reader : readers) EXPECT_TRUE(reader.get());
}

}  // namespace
}  // namespace belmor::korvex::ui
