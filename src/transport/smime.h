#ifndef KORVEX_TRANSPORT_SMIME_H_
#define KORVEX_TRANSPORT_SMIME_H_

#include <string>
#include <vector>

#include "common/exception.h"

namespace belmor::korvex {

using common::RuntimeException;
// Decryption with a key and certificate the block was not made for; the
// caller goes on with its next credential.
KORVEX_DECLARE_EXCEPTION(Pkcs7WrongCertificateException, RuntimeException, "Pkcs7 wrong certificate exception");

// PKCS#7 enveloped data (DES-EDE3-CBC) carried as Base64 text inside XML: the
// patient blocks of invoices. Stateless; every failure is a RuntimeException
// without subject, except a key that does not open the block.
class SMIMECrypto {
 public:
  // Initialises OpenSSL once per process.
  SMIMECrypto();

  // Envelopes the part of text from its first "/pid:" on (the whole text when
  // there is none) for every certificate (PEM texts, in order). The answer is
  // Base64 of the DER structure in lines of 64 characters, each ended by "\n".
  std::string Encrypt(const std::vector<std::string>& certificates, const std::string& text) const;

  // Opens a Base64 block with a PEM key (no pass phrase) and its PEM
  // certificate and unwraps the content (see Unwrap). Content shorter than 6
  // characters after unwrapping gives empty text.
  std::string Decrypt(const std::string& key, const std::string& certificate, const std::string& block) const;

  // Whether text begins with a PEM certificate OpenSSL can read.
  static bool IsCertificate(const std::string& text);

  // Removes the MIME header (or a leading "<?...?>" line) from decrypted
  // content and joins the remaining lines without line ends.
  static std::string Unwrap(const std::string& content);
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_SMIME_H_
