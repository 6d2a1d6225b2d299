#include "transport/xslt_function.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxslt/extensions.h>
#include <libxslt/transform.h>
#include <libxslt/variables.h>
#include <libxslt/xsltutils.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "common/encoding.h"
#include "common/exception.h"
#include "common/string_util.h"
#include "logging/log.h"
#include "transport/credential_cache.h"
#include "transport/smime.h"

namespace belmor::korvex {
namespace {

struct XPathObjectDeleter {
  void operator()(xmlXPathObject* p) const { xmlXPathFreeObject(p); }
};
struct XmlCharDeleter {
  void operator()(xmlChar* p) const { xmlFree(p); }
};
struct XmlBufferDeleter {
  void operator()(xmlBuffer* p) const { xmlBufferFree(p); }
};
struct NodeListDeleter {
  void operator()(xmlNode* p) const { xmlFreeNodeList(p); }
};
using XPathObjectPtr = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

std::mutex& ConfigMutex() {
  static std::mutex mutex;
  return mutex;
}
std::weak_ptr<Config>& ConfigReference() {
  static std::weak_ptr<Config> config;
  return config;
}

// Through the transformation's own error channel, so that the transformation
// is marked failed, not only its expression.
void Report(xmlXPathParserContextPtr ctxt, const std::string& text) {
  xsltTransformError(xsltXPathGetTransformContext(ctxt), nullptr, nullptr, "%s", text.c_str());
}

void DropArguments(xmlXPathParserContextPtr ctxt, int nargs) {
  for (int i = 0; i < nargs; ++i) XPathObjectPtr(valuePop(ctxt));
}

std::string PopString(xmlXPathParserContextPtr ctxt, bool& ok) {
  XmlCharPtr text(xmlXPathPopString(ctxt));
  ok = text != nullptr;
  return ok ? std::string(reinterpret_cast<const char*>(text.get())) : std::string();
}

std::string Trim(const char* text) {
  std::string s(text);
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

bool HasDigit(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}


// The digit of the character's group, or 0 for the vowels, H, W, Y and every
// other byte.
char GroupOf(char c) {
  switch (c) {
    case 'B': case 'P': case 'F': case 'V':
      return '1';
    case 'C': case 'S': case 'K': case 'G': case 'J': case 'Q': case 'X': case 'Z':
      return '2';
    case 'D': case 'T':
      return '3';
    case 'L':
      return '4';
    case 'M': case 'N':
      return '5';
    case 'R':
      return '6';
    default:
      return 0;
  }
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return text;
}

std::shared_ptr<CredentialCache> RequireCache(const char* noConfig, const char* noCache) {
  const std::shared_ptr<Config> config = XsltFunction::GetConfig();
  if (!config) throw common::RuntimeException(noConfig);
  std::shared_ptr<CredentialCache> cache = config->GetCredentialCache();
  if (!cache) throw common::RuntimeException(noCache);
  return cache;
}

// libxslt's view of the source document, which the node dump and the
// encoding adaptation refer to.
xmlDocPtr SourceDocument(xmlXPathParserContextPtr ctxt) {
  xsltTransformContextPtr tctxt = xsltXPathGetTransformContext(ctxt);
  if (tctxt != nullptr && tctxt->document != nullptr && tctxt->document->doc != nullptr) return tctxt->document->doc;
  return ctxt->context->doc;
}

// The decrypted text as nodes in the context of the current node, copied into
// a fragment the transformation frees; empty when the text is not a
// well-balanced chunk there.
xmlXPathObjectPtr ParseInContext(xmlXPathParserContextPtr ctxt, const std::string& text) {
  xsltTransformContextPtr tctxt = xsltXPathGetTransformContext(ctxt);
  xmlNodePtr context = ctxt->context->node;
  if (tctxt == nullptr || context == nullptr || text.empty()) return nullptr;
  xmlNodePtr parsed = nullptr;
  if (xmlParseInNodeContext(context, text.data(), static_cast<int>(text.size()), 0, &parsed) != XML_ERR_OK) {
    xmlFreeNodeList(parsed);
    return nullptr;
  }
  std::unique_ptr<xmlNode, NodeListDeleter> list(parsed);
  if (!list) return nullptr;
  xmlDocPtr fragment = xsltCreateRVT(tctxt);
  if (fragment == nullptr) return nullptr;
  xsltRegisterLocalRVT(tctxt, fragment);
  xmlXPathObjectPtr result = xmlXPathNewNodeSet(nullptr);
  if (result == nullptr) return nullptr;
  // Every parsed node, not only the first: a block holding several elements
  // or text around an element must not lose any of them.
  for (xmlNodePtr node = list.get(); node != nullptr; node = node->next) {
    xmlNodePtr copy = xmlDocCopyNode(node, fragment, 1);
    if (copy == nullptr) continue;
    xmlAddChild(reinterpret_cast<xmlNodePtr>(fragment), copy);
    xmlXPathNodeSetAdd(result->nodesetval, copy);
  }
  return result;
}

void* ModuleInit(xsltTransformContextPtr ctxt, const xmlChar* uri) {
  xsltRegisterExtFunction(ctxt, BAD_CAST "Encrypt", uri, XsltFunction::EXsltEncrypt);
  xsltRegisterExtFunction(ctxt, BAD_CAST "Decrypt", uri, XsltFunction::EXsltDecrypt);
  xsltRegisterExtFunction(ctxt, BAD_CAST "get-Person", uri, XsltFunction::EXsltGetPerson);
  return nullptr;
}

void ModuleShutdown(xsltTransformContextPtr, const xmlChar*, void*) {}

}  // namespace

void XsltFunction::Register() {
  static std::once_flag once;
  // A failed attempt leaves the flag unset, so a later start may try again.
  std::call_once(once, [] {
    if (xsltRegisterExtModule(BAD_CAST kNamespace, ModuleInit, ModuleShutdown) != 0) {
      throw common::RuntimeException("xsltRegisterExtModule failed");
    }
  });
}

void XsltFunction::SetConfig(const std::shared_ptr<Config>& config) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  ConfigReference() = config;
}

std::shared_ptr<Config> XsltFunction::GetConfig() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  return ConfigReference().lock();
}

std::string XsltFunction::CompactDate(const std::string& date) {
  if (date.size() < 10) return std::string();
  return date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2);
}

int XsltFunction::PhoneticCode(const std::string& name, std::string& code) {
  if (name.empty()) return 1;
  if (HasDigit(name)) return 2;
  std::string out;
  char previous = 0;
  for (size_t i = 0; i < name.size() && out.size() < 4; ++i) {
    const char group = GroupOf(common::AsciiUpper(name[i]));
    if (group != 0 && group != previous) out += group;
    previous = group;
  }
  out.resize(4, '0');
  out[0] = common::AsciiUpper(name[0]);
  code = out;
  return 0;
}

int XsltFunction::PersonCode(const char* a1, const char* a2, const char* date, const char* a4, std::string& code) {
  if (a1 == nullptr || a2 == nullptr || date == nullptr || a4 == nullptr) return 1;
  const std::string first = Trim(a1);
  const std::string second = Trim(a2);
  const std::string day = Trim(date);
  const std::string id = Trim(a4);

  int flags = 0;
  if (HasDigit(first) || first.size() < 2) flags |= 1;
  if (HasDigit(second) || second.size() < 2) flags |= 2;
  if (std::strcmp(day.c_str(), "18700101") < 0 || std::strcmp(day.c_str(), Today().c_str()) > 0) flags |= 4;
  if (id.size() < 4 || id.size() > 9) flags |= 8;
  if (flags != 0) {
    static const char kHex[] = "0123456789abcdef";
    code = std::string("a") + kHex[flags] + std::string(28, '0');
    return 0;
  }

  std::string firstCode;
  std::string secondCode;
  if (PhoneticCode(first, firstCode) != 0 || PhoneticCode(second, secondCode) != 0) return 4;
  const std::string text = firstCode + secondCode + day + id;
  if (text.size() < 20 || text.size() > 25) return 5;

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha1(), nullptr) != 1 || size != 20) return 3;
  // Bytes 0 to 5 stay out of the code; which bytes are used is part of what
  // makes codes comparable between installations.
  static const char kHex[] = "0123456789abcdef";
  std::string out = "a0";
  for (unsigned int i = 6; i < 20; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0f];
  }
  code = out;
  return 0;
}

void XsltFunction::EXsltEncrypt(xmlXPathParserContextPtr ctxt, int nargs) {
  if (nargs != 1) {
    DropArguments(ctxt, nargs);
    Report(ctxt, "Encrypt() failed\n");
    return;
  }
  // Taken off first, so that no failure leaves it behind as a result.
  XPathObjectPtr argument(valuePop(ctxt));
  try {
    const std::shared_ptr<CredentialCache> cache = RequireCache("no node to encrypt", "no credential cache available");
    xmlNodeSetPtr nodes = argument && (argument->type == XPATH_NODESET || argument->type == XPATH_XSLT_TREE)
                              ? argument->nodesetval
                              : nullptr;
    if (nodes == nullptr || nodes->nodeNr < 1 || nodes->nodeTab[0] == nullptr) {
      throw common::RuntimeException("no node to encrypt because of invalid config");
    }
    std::unique_ptr<xmlBuffer, XmlBufferDeleter> buffer(xmlBufferCreate());
    if (!buffer) throw common::RuntimeException("no node to encrypt because of invalid config");
    const int dumped = xmlNodeDump(buffer.get(), SourceDocument(ctxt), nodes->nodeTab[0], 2, 1);
    if (dumped < 1) throw common::RuntimeException("no node to encrypt because of invalid config");
    const std::string text(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                           static_cast<size_t>(xmlBufferLength(buffer.get())));

    std::vector<std::string> certificates;
    for (const Credential& credential : cache->Credentials()) certificates.push_back(credential.certificate);
    const std::string block = SMIMECrypto().Encrypt(certificates, text);
    valuePush(ctxt, xmlXPathNewString(BAD_CAST block.c_str()));
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[XsltFunction::EXsltEncrypt][" << e.Text() << "]";
    Report(ctxt, "Encrypt() failed\n");
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "[XsltFunction::EXsltEncrypt][" << e.what() << "]";
    Report(ctxt, "Encrypt() failed\n");
  }
}

void XsltFunction::EXsltDecrypt(xmlXPathParserContextPtr ctxt, int nargs) {
  KX_LOG(DEBUG) << "[XsltFunction::EXsltDecrypt][decrypt pkcs7 block]";
  if (nargs != 1) {
    DropArguments(ctxt, nargs);
    Report(ctxt, "Decrypt() failed\n");
    return;
  }
  try {
    bool popped = false;
    const std::string block = PopString(ctxt, popped);
    const std::shared_ptr<CredentialCache> cache = RequireCache(
        "[XsltFunction::EXsltDecrypt][no node to decrypt]", "[XsltFunction::EXsltDecrypt][no credential cache available]");
    if (!popped) throw common::RuntimeException("no node to encrypt because of invalid config");

    std::string text;
    bool decrypted = false;
    const std::vector<Credential>& credentials = cache->Credentials();
    for (size_t i = 0; i < credentials.size() && !decrypted; ++i) {
      try {
        text = SMIMECrypto().Decrypt(credentials[i].key, credentials[i].certificate, block);
        decrypted = true;
      } catch (const Pkcs7WrongCertificateException& e) {
        KX_LOG(WARN) << "[XsltFunction::EXsltDecrypt][block was not encrypted with credential nr " << i << "]["
                     << e.Message() << "]";
      } catch (const common::RuntimeException& e) {
        KX_LOG(ERROR) << "[XsltFunction::EXsltDecrypt][problem with credential nr " << i << "][" << e.Message()
                      << "]";
      }
    }
    // Also without any credential: a missing value must always be explained.
    if (!decrypted) throw common::RuntimeException("[XsltFunction::EXsltDecrypt][decrypt failed]");

    std::string encoding = "utf-8";
    if (xmlDocPtr source = SourceDocument(ctxt); source != nullptr && source->encoding != nullptr) {
      encoding = reinterpret_cast<const char*>(source->encoding);
      encoding = common::AsciiLower(std::move(encoding));
    }
    // XPath strings are UTF-8 whatever the document's encoding; only the
    // parser, which reads the chunk in the document's encoding, gets Latin-1.
    std::string utf8 = text;
    std::string forParser = text;
    if (encoding == "utf-8" && !common::IsUtf8(text)) {
      utf8 = forParser = common::Latin1ToUtf8(text);
    } else if (encoding == "iso-8859-1" && common::IsUtf8(text)) {
      forParser = common::Utf8ToLatin1(text);
    }

    if (xmlXPathObjectPtr nodes = ParseInContext(ctxt, forParser)) {
      valuePush(ctxt, nodes);
    } else {
      valuePush(ctxt, xmlXPathNewString(BAD_CAST utf8.c_str()));
    }
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[XsltFunction::EXsltDecrypt][" << e.Text() << "]";
    Report(ctxt, "Decrypt() failed: " + e.Message() + "\n");
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "[XsltFunction::EXsltDecrypt][" << e.what() << "]";
    Report(ctxt, "Decrypt() failed\n");
  }
}

void XsltFunction::EXsltGetPerson(xmlXPathParserContextPtr ctxt, int nargs) {
  if (nargs != 4) {
    DropArguments(ctxt, nargs);
    Report(ctxt, "get-Person() failed: insufficient args (" + std::to_string(nargs) + " args instead of 4)\n");
    return;
  }
  try {
    // The last argument is on top of the stack.
    XmlCharPtr a4(xmlXPathPopString(ctxt));
    XmlCharPtr a3(xmlXPathPopString(ctxt));
    XmlCharPtr a2(xmlXPathPopString(ctxt));
    XmlCharPtr a1(xmlXPathPopString(ctxt));
    const std::string date = a3 ? CompactDate(reinterpret_cast<const char*>(a3.get())) : std::string();
    std::string code;
    const int result = PersonCode(reinterpret_cast<const char*>(a1.get()), reinterpret_cast<const char*>(a2.get()),
                                  a3 ? date.c_str() : nullptr, reinterpret_cast<const char*>(a4.get()), code);
    if (result != 0) {
      Report(ctxt, "get-Person() failed: code " + std::to_string(result) + "\n");
      return;
    }
    valuePush(ctxt, xmlXPathNewString(BAD_CAST code.c_str()));
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "[XsltFunction::EXsltGetPerson][" << e.what() << "]";
    Report(ctxt, "get-Person() failed\n");
  }
}

}  // namespace belmor::korvex
