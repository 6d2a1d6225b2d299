#ifndef KORVEX_TRANSPORT_XSLT_FUNCTION_H_
#define KORVEX_TRANSPORT_XSLT_FUNCTION_H_

#include <libxml/xpathInternals.h>

#include <memory>
#include <string>

#include "config/config.h"

namespace belmor::korvex {

// The extension module "urn:korvex.CCode" that the trust center's stylesheets
// call: Encrypt and Decrypt (PKCS#7 blocks for the current center's
// recipients, through the configuration's credential cache) and get-Person
// (the pseudonymous person code). Process-wide state, registered once.
//
// The functions never throw into libxslt: every failure goes to the
// transformation's error channel and leaves no value on the XPath stack, so
// the calling expression, and with it the transformation, fails.
class XsltFunction {
 public:
  static constexpr const char* kNamespace = "urn:korvex.CCode";

  // Registers the module with libxslt the first time it is called; later
  // calls do nothing. Raises RuntimeException "xsltRegisterExtModule failed".
  static void Register();
  // The configuration whose credential cache the functions use. Only a weak
  // reference is kept: the engine owns the configuration.
  static void SetConfig(const std::shared_ptr<Config>& config);
  static std::shared_ptr<Config> GetConfig();

  // The person code of two names, a compact date "YYYYMMDD" and a short
  // identifier: "a0" and 28 hexadecimal digits of a SHA-1 digest, or "a",
  // one hexadecimal digit of flags for unusable inputs, and 28 "0". The same
  // inputs give the same code on every installation, so that persons can be
  // recognised without being named. Answers 0, or 1 when an input is missing
  // (null), 3 when the digest fails, 4 when a name has no phonetic code, 5 when
  // the text to digest has an unexpected length; code is set only on 0.
  static int PersonCode(const char* a1, const char* a2, const char* date, const char* a4, std::string& code);
  // A Soundex variant: the first letter and three digits. Answers 0, 1 for an
  // empty name, 2 for a name with a decimal digit; code is set only on 0.
  static int PhoneticCode(const std::string& name, std::string& code);
  // "YYYY-MM-DD" (or longer) to "YYYYMMDD". A shorter text gives an empty
  // date, which the person code flags as unusable.
  static std::string CompactDate(const std::string& date);

  // The XPath functions as libxslt calls them.
  static void EXsltEncrypt(xmlXPathParserContextPtr ctxt, int nargs);
  static void EXsltDecrypt(xmlXPathParserContextPtr ctxt, int nargs);
  static void EXsltGetPerson(xmlXPathParserContextPtr ctxt, int nargs);
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_XSLT_FUNCTION_H_
