#ifndef KORVEX_TESTS_SUPPORT_INVOICE_FACTORY_H_
#define KORVEX_TESTS_SUPPORT_INVOICE_FACTORY_H_

// Invoices of the test trust center's format 2.0 in any number and size: each
// has its own invoice number (so the duplicate check tells them apart) and an
// embedded attachment that brings it to about the size asked for. Header only,
// so benchmarks can use it without the test support library.

#include <cstdio>
#include <string>

namespace belmor::testing {

// The number the invoice carries: "R-GEN-" and n with six digits.
inline std::string GeneratedInvoiceNumber(int n) {
  char number[32];
  std::snprintf(number, sizeof number, "R-GEN-%06d", n);
  return number;
}

// A valid invoice of at least `bytes` bytes (a little more: the attachment is
// filled in whole Base64 lines). Patients differ with n, so the person codes do.
inline std::string GeneratedInvoice(int n, size_t bytes = 0) {
  static const char* const kFamilyNames[] = {"Meier", "Schmidt", "Keller", "Weber", "Huber", "Brunner"};
  static const char* const kGivenNames[] = {"Anna", "Otto", "Lea", "Marco", "Sofia", "Jonas"};
  char date[16];
  std::snprintf(date, sizeof date, "19%02d-%02d-%02d", 30 + n % 60, 1 + n % 12, 1 + n % 28);
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<invoice xmlns=\"urn:belmor:fixture:invoice:2.0\" xmlns:att=\"urn:belmor:fixture:attachment\">\n"
      "  <number>" + GeneratedInvoiceNumber(n) + "</number>\n"
      "  <date>2026-12-01</date>\n"
      "  <amount>" + std::to_string(100 + n % 900) + ".50</amount>\n"
      "  <storno>false</storno>\n"
      "  <biller esr=\"01-12345-6\" ean=\"7601000000001\" zsr=\"A123456\"><name>Praxis Dr. Muster</name></biller>\n"
      "  <patient id=\"756.0000." + std::to_string(1000 + n % 9000) + ".00\" sex=\"" + (n % 2 ? "male" : "female") +
      "\" birthdate=\"" + date + "\">\n"
      "    <familyname>" + kFamilyNames[n % 6] + "</familyname>\n"
      "    <givenname>" + kGivenNames[(n / 6) % 6] + "</givenname>\n"
      "  </patient>\n"
      "  <treatment begin=\"2026-11-15\" end=\"2026-11-28\"/>\n";
  const std::string tail = "</att:attachment>\n</invoice>\n";
  text += "  <att:attachment name=\"befund.txt\" mime=\"text/plain\">";
  // 76 Base64 characters per line: 57 bytes of "Befund ohne Befund. ..." repeated.
  static const std::string kLine = "QmVmdW5kIG9obmUgQmVmdW5kLiBCZWZ1bmQgb2huZSBCZWZ1bmQuIEJlZnVuZCBvaG5lIEJlZnVu\n";
  text += "QmVmdW5kOiBvaG5lIEJlZnVuZC4K";
  while (text.size() + tail.size() < bytes) text += "\n" + kLine.substr(0, kLine.size() - 1);
  text += tail;
  return text;
}

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_INVOICE_FACTORY_H_
