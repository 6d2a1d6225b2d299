#include "transport/oauth_redirect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "logging/log.h"

namespace belmor::korvex {

namespace {

using Clock = std::chrono::steady_clock;

// A browser sends its whole request at once; one that trickles or sends
// nothing must not hold up the login for long.
constexpr std::chrono::seconds kConnectionWait{10};
// Far more than any redirect request; the rest is not read.
constexpr size_t kMaxRequestHead = 16 * 1024;

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left);
}

// Waits until fd is readable; false on time-out or error (errno tells which),
// and when cancelFd (if not -1) becomes readable first (*cancelled then).
bool WaitReadable(int fd, Clock::time_point deadline, bool* failed, int cancelFd = -1, bool* cancelled = nullptr) {
  *failed = false;
  if (cancelled != nullptr) *cancelled = false;
  for (;;) {
    pollfd pfd[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    int n = ::poll(pfd, cancelFd >= 0 ? 2 : 1, MillisecondsUntil(deadline));
    if (n > 0) {
      if (cancelFd >= 0 && (pfd[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        if (cancelled != nullptr) *cancelled = true;
        return false;
      }
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    *failed = true;
    return false;
  }
}

// The request head (up to the blank line), or what arrived of it before the
// peer stopped sending, the size limit or the deadline.
std::string ReadRequestHead(int fd, Clock::time_point deadline) {
  std::string head;
  char buffer[4096];
  while (head.size() < kMaxRequestHead && head.find("\r\n\r\n") == std::string::npos &&
         head.find("\n\n") == std::string::npos) {
    bool failed = false;
    if (!WaitReadable(fd, deadline, &failed)) break;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  return head;
}

void SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    // MSG_NOSIGNAL: a browser that has gone away must not end the process with SIGPIPE.
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

bool SameState(const std::optional<std::string>& received, const std::string& expected) {
  return received && !expected.empty() && received->size() == expected.size() &&
         CRYPTO_memcmp(received->data(), expected.data(), expected.size()) == 0;
}

std::string SeeOther(const std::string& startPage) {
  return "HTTP/1.1 303 See other\r\nLocation: " + startPage +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string NotOurs() {
  const std::string body = "This address does not belong to a running Korvex login.\n";
  return "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

std::string EscapeUrlComponent(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0f];
    }
  }
  return out;
}

std::string NewLoginState() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string state;
  for (unsigned char b : bytes) {
    state += kHex[b >> 4];
    state += kHex[b & 0x0f];
  }
  return state;
}

RedirectQuery ParseRedirectRequest(std::string_view request) {
  RedirectQuery result;
  std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  size_t targetStart = line.find(' ');
  if (targetStart == std::string_view::npos) return result;
  std::string_view target = line.substr(targetStart + 1);
  target = target.substr(0, target.find(' '));
  size_t question = target.find('?');
  if (question == std::string_view::npos) return result;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.starts_with("code=") && !result.code) {
      result.code = std::string(pair.substr(5));
    } else if (pair.starts_with("state=") && !result.state) {
      result.state = std::string(pair.substr(6));
    }
  }
  return result;
}

RedirectListener::~RedirectListener() { Close(); }

bool RedirectListener::Open() {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    const int error = errno;
    KX_LOG(DEBUG) << "[RedirectListener::Open][socket: " << std::strerror(error) << "]";
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 2) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    KX_LOG(DEBUG) << "[RedirectListener::Open][" << std::strerror(error) << "]";
    Close();
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void RedirectListener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::optional<std::string> RedirectListener::WaitForCode(const std::string& state, const std::string& startPage,
                                                         std::chrono::milliseconds wait, int cancelFd) {
  const Clock::time_point deadline = Clock::now() + wait;
  while (fd_ >= 0) {
    bool failed = false;
    bool cancelled = false;
    if (!WaitReadable(fd_, deadline, &failed, cancelFd, &cancelled)) {
      const int error = errno;
      KX_LOG(DEBUG) << "[RedirectListener::WaitForCode]["
                    << (cancelled ? "cancelled"
                                  : failed ? std::string("wait failed: ") + std::strerror(error) : "no login in time")
                    << "]";
      break;
    }
    int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      // A peer that gave up before we took it; anything else (no descriptors
      // left) would only repeat, so the login ends.
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED || error == EAGAIN) continue;
      KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][accept: " << std::strerror(error) << "]";
      break;
    }
    const Clock::time_point connectionDeadline = std::min(deadline, Clock::now() + kConnectionWait);
    RedirectQuery query = ParseRedirectRequest(ReadRequestHead(connection, connectionDeadline));
    const bool ours = SameState(query.state, state);
    SendAll(connection, ours ? SeeOther(startPage) : NotOurs());
    ::shutdown(connection, SHUT_WR);
    ::close(connection);
    if (ours) {
      Close();
      KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][" << (query.code ? "code received" : "no code") << "]";
      if (query.code && query.code->empty()) return std::nullopt;
      return query.code;
    }
    KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][request without our state ignored]";
  }
  Close();
  return std::nullopt;
}

}  // namespace belmor::korvex
