#include "transport/smime.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>
#include <mutex>

namespace belmor::korvex {
namespace {

struct BioDeleter {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct X509StackDeleter {
  void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct Pkcs7Deleter {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct EncodeCtxDeleter {
  void operator()(EVP_ENCODE_CTX* p) const { EVP_ENCODE_CTX_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Deleter>;
using EncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxDeleter>;

// A key that carries a pass phrase must fail here rather than make OpenSSL
// ask for one on a terminal the server does not have.
int NoPassPhrase(char*, int, int, void*) { return 0; }

// A memory stream holding text; empty text cannot be written and fails.
BioPtr TextBio(const std::string& text, const char* where) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) throw RuntimeException(std::string(where) + ": openssl BIO_new failed");
  if (text.empty() || BIO_write(bio.get(), text.data(), static_cast<int>(text.size())) <= 0) {
    throw RuntimeException(std::string(where) + ": openssl BIO_puts failed");
  }
  return bio;
}

std::string ReadAll(BIO* bio) {
  std::string out;
  char piece[1024];
  for (int n; (n = BIO_read(bio, piece, sizeof piece)) > 0;) out.append(piece, static_cast<size_t>(n));
  return out;
}

std::string Base64Lines(const unsigned char* data, int size) {
  EncodeCtxPtr ctx(EVP_ENCODE_CTX_new());
  if (!ctx) throw RuntimeException("SMIMECrypto::Encrypt: openssl EVP_ENCODE_CTX_new failed");
  // 4 characters per 3 bytes, one line feed per 48 bytes, and the final block.
  std::string out(static_cast<size_t>(size) / 3 * 4 + static_cast<size_t>(size) / 48 + 80, '\0');
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  int written = 0;
  int total = 0;
  EVP_EncodeInit(ctx.get());
  if (EVP_EncodeUpdate(ctx.get(), dst, &written, data, size) != 1) {
    throw RuntimeException("SMIMECrypto::Encrypt: openssl EVP_EncodeUpdate failed");
  }
  total += written;
  EVP_EncodeFinal(ctx.get(), dst + total, &written);
  total += written;
  out.resize(static_cast<size_t>(total));
  return out;
}

std::string FromBase64(const std::string& text) {
  EncodeCtxPtr ctx(EVP_ENCODE_CTX_new());
  if (!ctx) return std::string();
  std::string out(text.size() / 4 * 3 + 3, '\0');
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  int written = 0;
  int total = 0;
  EVP_DecodeInit(ctx.get());
  if (EVP_DecodeUpdate(ctx.get(), dst, &written, reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int>(text.size())) < 0) {
    return std::string();
  }
  total += written;
  if (EVP_DecodeFinal(ctx.get(), dst + total, &written) != 1) return std::string();
  total += written;
  out.resize(static_cast<size_t>(total));
  return out;
}

// Lines without their line feed, as a line reader sees them: a last piece
// without line feed is a line, nothing after a final line feed is.
std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string CutAtCarriageReturn(const std::string& line) { return line.substr(0, line.find('\r')); }

}  // namespace

SMIMECrypto::SMIMECrypto() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(
        OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  });
}

std::string SMIMECrypto::Encrypt(const std::vector<std::string>& certificates, const std::string& text) const {
  const size_t pid = text.find("/pid:");
  const std::string content = pid == std::string::npos ? text : text.substr(pid);

  BioPtr in(BIO_new(BIO_s_mem()));
  if (!in) throw RuntimeException("SMIMECrypto::Encrypt: openssl BIO_new failed");
  static const char kHeader[] = "Content-Type: application/octet-stream\n\n";
  if (content.empty() || BIO_write(in.get(), kHeader, sizeof kHeader - 1) <= 0 ||
      BIO_write(in.get(), content.data(), static_cast<int>(content.size())) <= 0) {
    throw RuntimeException("SMIMECrypto::Encrypt: openssl BIO_puts failed");
  }

  if (certificates.empty()) throw RuntimeException("SMIMECrypto::Encrypt: no certificate available");
  X509StackPtr stack(sk_X509_new_null());
  if (!stack) throw RuntimeException("SMIMECrypto::Encrypt: openssl sk_X509_new_null failed");
  // A text that is no certificate is left out here; PKCS7_encrypt then
  // refuses the incomplete list, so nothing is ever encrypted for fewer
  // recipients than asked.
  bool complete = true;
  for (const std::string& pem : certificates) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) throw RuntimeException("SMIMECrypto::Encrypt: openssl BIO_new failed");
    if (pem.empty() || BIO_write(bio.get(), pem.data(), static_cast<int>(pem.size())) <= 0) {
      throw RuntimeException("SMIMECrypto::Encrypt: openssl BIO_puts certificate X509 failed");
    }
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr));
    if (!cert) {
      complete = false;
      continue;
    }
    if (sk_X509_push(stack.get(), cert.get()) <= 0) {
      throw RuntimeException("SMIMECrypto::Encrypt: openssl sk_X509_new_null failed");
    }
    cert.release();
  }

  ERR_clear_error();
  Pkcs7Ptr p7(complete ? PKCS7_encrypt(stack.get(), in.get(), EVP_des_ede3_cbc(), 0) : nullptr);
  if (!p7) throw RuntimeException("SMIMECrypto::Encrypt: openssl PKCS7_encrypt failed");

  const int size = i2d_PKCS7(p7.get(), nullptr);
  if (size <= 0) throw RuntimeException("SMIMECrypto::Encrypt: openssl i2d_PKCS7 failed");
  std::string der(static_cast<size_t>(size), '\0');
  auto* cursor = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_PKCS7(p7.get(), &cursor) != size) throw RuntimeException("SMIMECrypto::Encrypt: openssl i2d_PKCS7 failed");
  return Base64Lines(reinterpret_cast<const unsigned char*>(der.data()), size);
}

std::string SMIMECrypto::Decrypt(const std::string& key, const std::string& certificate,
                                 const std::string& block) const {
  BioPtr keyBio = TextBio(key, "SMIMECrypto::Decrypt");
  BioPtr certBio = TextBio(certificate, "SMIMECrypto::Decrypt");
  PkeyPtr pkey(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, NoPassPhrase, nullptr));
  X509Ptr cert(PEM_read_bio_X509(certBio.get(), nullptr, NoPassPhrase, nullptr));
  if (!pkey || !cert) throw RuntimeException("SMIMECrypto::Decrypt: openssl no key or cert");

  const std::string der = FromBase64(block);
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  Pkcs7Ptr p7(der.empty() ? nullptr : d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
  if (!p7) throw RuntimeException("[SMIMECrypto::Decrypt][openssl d2i_PKCS7 failed]");

  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out) throw RuntimeException("SMIMECrypto::Decrypt: openssl BIO_new failed");
  ERR_clear_error();
  if (PKCS7_decrypt(p7.get(), pkey.get(), cert.get(), out.get(), 0) != 1) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    throw Pkcs7WrongCertificateException(std::string("openssl PKCS7_decrypt failed: ") + text);
  }
  std::string result = Unwrap(ReadAll(out.get()));
  if (result.size() < 6) result.clear();
  return result;
}

std::string SMIMECrypto::Unwrap(const std::string& content) {
  const std::vector<std::string> lines = Lines(content);
  std::string out;
  size_t next = 0;
  auto skipHeader = [&] {
    while (next < lines.size() && CutAtCarriageReturn(lines[next++]).size() >= 3) {
    }
  };
  if (lines.empty()) return out;

  std::string first = CutAtCarriageReturn(lines[next++]);
  if (first.starts_with("Content-Type")) {
    skipHeader();
  } else {
    if (first.starts_with(' ')) {
      first.erase(0, 1);
    } else if (const size_t at = first.find("invoice: "); at != std::string::npos) {
      first.erase(at + 8, 1);
    }
    if (first.starts_with("<?")) {
      skipHeader();
    } else {
      out = first;
    }
  }

  for (; next < lines.size(); ++next) {
    std::string line = lines[next];
    const size_t cr = line.find('\r');
    if (cr != std::string::npos && cr == line.size() - 1) {
      line.pop_back();
    } else {
      for (char& c : line) {
        if (c == '\r') c = '\n';
      }
    }
    out += line;
  }
  return out;
}

bool SMIMECrypto::IsCertificate(const std::string& text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return false;
  BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) return false;
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr));
  ERR_clear_error();
  return cert != nullptr;
}

}  // namespace belmor::korvex
