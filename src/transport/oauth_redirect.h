#ifndef KORVEX_TRANSPORT_OAUTH_REDIRECT_H_
#define KORVEX_TRANSPORT_OAUTH_REDIRECT_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace belmor::korvex {

// The browser side of the HIN login: the HIN login page sends the browser back
// to a one-shot HTTP listener on the loopback interface, with the
// authorization code and our state value in the query of the request line.

// Percent-encodes every byte except ASCII letters, digits and "-", ".", "_",
// "~" (the set libcurl's escaping keeps), for query values and form fields.
std::string EscapeUrlComponent(std::string_view text);

// A fresh state value for one login: 16 bytes of the system's cryptographic
// random source as 32 lower-case hex digits. Empty when the source fails;
// a login must not run with a guessable state.
std::string NewLoginState();

// Proof of possession for the code (PKCE, method S256): the login page is
// given the challenge, the token request the verifier. A code that someone
// else obtained for our listener was issued for no challenge of ours, so the
// token service refuses to redeem it for us.
struct PkcePair {
  std::string verifier;
  std::string challenge;
};

// A fresh pair: the verifier is 32 bytes of the system's cryptographic random
// source in base64url without padding (43 characters). None when the source
// fails.
std::optional<PkcePair> NewPkcePair();
// The S256 challenge of a verifier: base64url of its SHA-256, no padding.
std::string PkceChallenge(std::string_view verifier);
// Base64url (the URL-safe alphabet, "-" and "_") without "=" padding.
std::string Base64UrlEncode(std::string_view bytes);

// Replaces "&", "<", ">", '"' and "'" by their character references.
std::string HtmlEscape(std::string_view text);

// The page the browser is given instead of the login URL itself. Every user
// of the machine can read a process's arguments, and the login URL holds the
// state and the listener's port; so the URL goes into a file that only we may
// read, holding nothing but a refresh to it, and the browser gets the file's
// path. Removed when the object ends, or earlier by Remove. One per login.
class LoginPageFile {
 public:
  LoginPageFile() = default;
  ~LoginPageFile() { Remove(); }
  LoginPageFile(const LoginPageFile&) = delete;
  LoginPageFile& operator=(const LoginPageFile&) = delete;

  // Creates the page under a fresh random name in `directory`, readable by
  // the owner alone from its creation on; never follows or reuses a name
  // that exists. False, with a debug line, when it cannot be written or
  // `directory` is not an absolute path.
  bool Create(const std::string& directory, const std::string& url);
  // The page's path; empty before Create and after Remove.
  const std::string& Path() const { return path_; }
  void Remove();

 private:
  std::string path_;
};

// What a redirect request carries. Values are taken as they appear in the
// query, undecoded: the code goes on, still encoded, into the form body of the
// token request, and the state is compared with the hex text we sent.
struct RedirectQuery {
  std::optional<std::string> code;
  std::optional<std::string> state;
};

// Reads "code" and "state" from the query of the request line (the first line
// of `request`); each value ends at a blank, "&" or the end of the target. The
// first occurrence of a name counts. Headers are never looked at, so a Referer
// naming another page's code cannot be mistaken for ours.
RedirectQuery ParseRedirectRequest(std::string_view request);

// The loopback listener of one login. The redirect address names
// "localhost", which a browser may resolve to 127.0.0.1 or to ::1, so the
// listener takes the same port on both. Not thread-safe; one object per login.
class RedirectListener {
 public:
  RedirectListener() = default;
  ~RedirectListener();
  RedirectListener(const RedirectListener&) = delete;
  RedirectListener& operator=(const RedirectListener&) = delete;

  // Binds 127.0.0.1 on a port the system picks and ::1 (IPv6 only) on the
  // same port, and listens on both. When the port is taken on ::1 another one
  // is tried, a few times. A machine without IPv6 gets a listener on
  // 127.0.0.1 alone. False, with a debug line, when no pair could be had or
  // 127.0.0.1 failed: never half a pair on a machine that has ::1, where the
  // other half could belong to another program and receive the code.
  bool Open();
  int Port() const { return port_; }

  // Waits at most `wait` in all for the browser's redirect, on both
  // addresses. Connections are served side by side: one that sends nothing or
  // stalls within its request is answered and dropped after a few seconds,
  // and beyond a handful held at once the oldest is dropped, so that other
  // local programs cannot keep the browser's redirect waiting. Every
  // connection gets an answer and is closed. A request whose state is not
  // `state` gets a short error page and the wait goes on: a page that forges a
  // redirect can neither obtain a token nor end the login, and the deadline
  // stays fixed so it cannot stretch the wait either. A request with the right
  // state gets the 303 to `startPage` and ends the wait at once: answered with
  // its code, or without one when the HIN side sent none (the user declined).
  // Closes the listener before returning. When `cancelFd` (if not -1) becomes
  // readable the wait ends at once without a code: the practice cancelled the
  // run.
  std::optional<std::string> WaitForCode(const std::string& state, const std::string& startPage,
                                         std::chrono::milliseconds wait, int cancelFd = -1);

  void Close();

 private:
  int fd4_ = -1;  // 127.0.0.1
  int fd6_ = -1;  // ::1; -1 on a machine without IPv6
  int port_ = 0;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_OAUTH_REDIRECT_H_
