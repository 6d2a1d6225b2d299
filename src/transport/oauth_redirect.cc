#include "transport/oauth_redirect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "logging/log.h"
#include "transport/base64.h"

namespace belmor::korvex {

namespace {

using Clock = std::chrono::steady_clock;

// A browser sends its whole request head at once; a connection that sends
// nothing or stalls within its request is given up after this.
constexpr std::chrono::seconds kConnectionWait{5};
// Connections held at once. Beyond it the oldest is dropped: idle connections
// of other local programs (or a browser's own speculative ones) must not be
// able to keep the real redirect out.
constexpr size_t kMaxConnections = 16;
// The system queues connections that have not been taken yet; the loop takes
// them quickly, the queue only has to bridge a burst.
constexpr int kBacklog = 64;
// Far longer than any redirect's request line.
constexpr size_t kMaxRequestLine = 8 * 1024;
// Room for the headers of a browser that has many cookies for "localhost".
// Only the request line is kept; the rest is counted and passed over.
constexpr size_t kMaxRequestHead = 64 * 1024;
// Ports tried when the one the system gave on 127.0.0.1 is taken on ::1.
constexpr int kPortTries = 8;

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left);
}

// A socket bound to `address` (and for IPv6 to IPv6 alone), not yet
// listening; -1 with errno set when that fails.
int BoundSocket(const sockaddr* address, socklen_t length) {
  int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int one = 1;
  if ((address->sa_family == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) ||
      ::bind(fd, address, length) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// One accepted connection and what it has sent so far.
struct Connection {
  int fd = -1;
  Clock::time_point deadline;
  std::string line;  // the request line, with its line end once that came
  std::string tail;  // the last bytes seen, to find the blank line across reads
  size_t received = 0;
};

// kCutOff: the connection ran out of time or was pushed out by newer ones;
// it is judged by what it sent so far.
enum class Head { kPartial, kEnded, kCutOff, kLineTooLong, kTooLarge };

Head Append(Connection& connection, std::string_view data) {
  connection.received += data.size();
  if (connection.line.empty() || connection.line.back() != '\n') {
    const size_t end = data.find('\n');
    connection.line.append(data.substr(0, end == std::string_view::npos ? end : end + 1));
  }
  if (connection.line.size() > kMaxRequestLine) return Head::kLineTooLong;
  std::string scan = connection.tail;
  scan.append(data);
  const bool ended = scan.find("\r\n\r\n") != std::string::npos || scan.find("\n\n") != std::string::npos;
  connection.tail = scan.substr(scan.size() - std::min<size_t>(3, scan.size()));
  if (ended) return Head::kEnded;
  return connection.received > kMaxRequestHead ? Head::kTooLarge : Head::kPartial;
}

// Reads what has arrived without waiting. A peer that stopped sending or went
// away has ended its request with what came.
Head ReadAvailable(Connection& connection) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      const Head head = Append(connection, std::string_view(buffer, static_cast<size_t>(n)));
      if (head != Head::kPartial) return head;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Head::kPartial;
    return Head::kEnded;
  }
}

// Sends the answer without waiting (it fits into the buffer of a fresh
// connection; a peer that cannot take it gets what fits) and closes.
void AnswerAndClose(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    // MSG_NOSIGNAL: a browser that has gone away must not end the process with SIGPIPE.
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  // Closing with unread bytes makes the system reset the connection, and a
  // browser then shows an error instead of following the answer; so what has
  // already come is read away first.
  char buffer[4096];
  for (size_t drained = 0; drained < kMaxRequestHead;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    drained += static_cast<size_t>(n);
  }
  ::close(fd);
}

bool SameState(const std::optional<std::string>& received, const std::string& expected) {
  return received && !expected.empty() && received->size() == expected.size() &&
         CRYPTO_memcmp(received->data(), expected.data(), expected.size()) == 0;
}

std::string SeeOther(const std::string& startPage) {
  return "HTTP/1.1 303 See other\r\nLocation: " + startPage +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string ErrorPage(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string NotOurs() {
  return ErrorPage("400 Bad Request", "This address does not belong to a running Korvex login.\n");
}

// The connections of one wait, oldest first.
class Connections {
 public:
  Connections(const std::string& state, const std::string& startPage) : state_(state), startPage_(startPage) {}
  // What is still open when the wait ends gets the error page: the login it
  // could have belonged to is over.
  ~Connections() {
    for (Connection& connection : held_) {
      if (connection.fd >= 0) AnswerAndClose(connection.fd, NotOurs());
    }
    if (dropped_ > 0) {
      KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][" << dropped_
                    << " connections dropped before they sent a whole request]";
    }
  }
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;

  std::vector<Connection>& Held() { return held_; }
  // The redirect with our state, once one came.
  const std::optional<RedirectQuery>& Ours() const { return ours_; }

  // Takes one connection waiting on `listener` and reads what it has already
  // sent. False when the system refuses for good (errno tells why).
  bool Accept(int listener, Clock::time_point deadline) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // A peer that gave up before we took it, or a network error the
      // system reports on the next connection: both pass.
      switch (errno) {
        case EINTR: case EAGAIN: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
        case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
          return true;
        default:
          return false;
      }
    }
    size_t open = 0;
    for (const Connection& connection : held_) open += connection.fd >= 0 ? 1 : 0;
    if (open >= kMaxConnections) {
      for (Connection& connection : held_) {
        if (connection.fd < 0) continue;
        ++dropped_;
        Settle(connection, Head::kCutOff);
        break;
      }
    }
    Connection connection;
    connection.fd = fd;
    connection.deadline = std::min(deadline, Clock::now() + kConnectionWait);
    held_.push_back(std::move(connection));
    Read(held_.back());
    return true;
  }

  void Read(Connection& connection) {
    const Head head = ReadAvailable(connection);
    if (head != Head::kPartial) Settle(connection, head);
  }

  // Connections past their time are judged by what they sent.
  void Expire(Clock::time_point now) {
    for (Connection& connection : held_) {
      if (connection.fd < 0 || connection.deadline > now || ours_) continue;
      ++dropped_;
      Settle(connection, Head::kCutOff);
    }
  }

  void Compact() {
    held_.erase(std::remove_if(held_.begin(), held_.end(), [](const Connection& c) { return c.fd < 0; }),
                held_.end());
  }

 private:
  // Answers a connection whose request has ended, or has to end, and closes it.
  void Settle(Connection& connection, Head head) {
    if (head == Head::kLineTooLong) {
      AnswerAndClose(connection.fd, ErrorPage("414 URI Too Long", "The request line is too long.\n"));
      KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][request line too long]";
    } else if (head == Head::kTooLarge) {
      AnswerAndClose(connection.fd, ErrorPage("431 Request Header Fields Too Large", "The request is too large.\n"));
      KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][request head too large]";
    } else {
      RedirectQuery query = ParseRedirectRequest(connection.line);
      if (!ours_ && SameState(query.state, state_)) {
        AnswerAndClose(connection.fd, SeeOther(startPage_));
        ours_ = std::move(query);
      } else {
        AnswerAndClose(connection.fd, NotOurs());
        // Those cut off are counted instead: a crowd of them must not flood the log.
        if (head == Head::kEnded) {
          KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][request without our state ignored]";
        }
      }
    }
    connection.fd = -1;
  }

  const std::string& state_;
  const std::string& startPage_;
  std::vector<Connection> held_;
  std::optional<RedirectQuery> ours_;
  size_t dropped_ = 0;
};

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

std::string Base64UrlEncode(std::string_view bytes) {
  std::string text = Base64::Encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::string PkceChallenge(std::string_view verifier) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
  return Base64UrlEncode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::optional<PkcePair> NewPkcePair() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return std::nullopt;
  PkcePair pair;
  pair.verifier = Base64UrlEncode(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
  pair.challenge = PkceChallenge(pair.verifier);
  return pair;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

bool LoginPageFile::Create(const std::string& directory, const std::string& url) {
  Remove();
  // Never a page in whatever the working directory happens to be.
  if (directory.empty() || directory.front() != '/') {
    KX_LOG(DEBUG) << "[LoginPageFile::Create][no private directory for the login page: \"" << directory << "\"]";
    return false;
  }
  const std::string name = NewLoginState();
  if (name.empty()) {
    KX_LOG(DEBUG) << "[LoginPageFile::Create][no random name for the login page]";
    return false;
  }
  const std::string path = (directory.back() == '/' ? directory : directory + "/") + "kx-login-" + name + ".html";
  // O_EXCL and O_NOFOLLOW: a name planted beforehand, even a link, is never
  // written through.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    KX_LOG(DEBUG) << "[LoginPageFile::Create][" << path << ": " << std::strerror(error) << "]";
    return false;
  }
  path_ = path;
  const std::string page = "<meta http-equiv=\"refresh\" content=\"0;url=" + HtmlEscape(url) + "\">\n";
  size_t done = 0;
  int error = 0;
  // The mode given to open is narrowed by the umask only; this states it exactly.
  if (::fchmod(fd, 0600) != 0) error = errno;
  while (error == 0 && done < page.size()) {
    ssize_t n = ::write(fd, page.data() + done, page.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    KX_LOG(DEBUG) << "[LoginPageFile::Create][" << path << ": " << std::strerror(error) << "]";
    Remove();
    return false;
  }
  return true;
}

void LoginPageFile::Remove() {
  if (path_.empty()) return;
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    const int error = errno;
    KX_LOG(DEBUG) << "[LoginPageFile::Remove][" << path_ << ": " << std::strerror(error) << "]";
  }
  path_.clear();
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
  // Sockets whose port was taken on ::1 stay bound until a pair is found, so
  // that the system cannot hand out the same port again.
  std::vector<int> refused;
  auto release = [&refused] {
    for (int fd : refused) ::close(fd);
  };
  for (int attempt = 0; attempt < kPortTries; ++attempt) {
    sockaddr_in address4{};
    address4.sin_family = AF_INET;
    address4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address4.sin_port = 0;
    socklen_t length = sizeof address4;
    int fd4 = BoundSocket(reinterpret_cast<const sockaddr*>(&address4), sizeof address4);
    if (fd4 < 0 || ::getsockname(fd4, reinterpret_cast<sockaddr*>(&address4), &length) != 0) {
      const int error = errno;
      KX_LOG(DEBUG) << "[RedirectListener::Open][127.0.0.1: " << std::strerror(error) << "]";
      if (fd4 >= 0) ::close(fd4);
      release();
      return false;
    }
    const int port = ntohs(address4.sin_port);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    address6.sin6_port = htons(static_cast<uint16_t>(port));
    int fd6 = BoundSocket(reinterpret_cast<const sockaddr*>(&address6), sizeof address6);
    if (fd6 < 0) {
      const int error = errno;
      if (error == EADDRINUSE) {
        refused.push_back(fd4);
        continue;
      }
      if (error != EAFNOSUPPORT && error != EADDRNOTAVAIL) {
        KX_LOG(DEBUG) << "[RedirectListener::Open][::1: " << std::strerror(error) << "]";
        ::close(fd4);
        release();
        return false;
      }
      KX_LOG(DEBUG) << "[RedirectListener::Open][no IPv6 loopback (" << std::strerror(error)
                    << "), listening on 127.0.0.1 alone]";
    }
    release();
    fd4_ = fd4;
    fd6_ = fd6;
    port_ = port;
    if (::listen(fd4_, kBacklog) != 0 || (fd6_ >= 0 && ::listen(fd6_, kBacklog) != 0)) {
      const int error = errno;
      KX_LOG(DEBUG) << "[RedirectListener::Open][listen: " << std::strerror(error) << "]";
      Close();
      return false;
    }
    return true;
  }
  KX_LOG(DEBUG) << "[RedirectListener::Open][every port given on 127.0.0.1 was taken on ::1]";
  release();
  return false;
}

void RedirectListener::Close() {
  if (fd4_ >= 0) ::close(fd4_);
  if (fd6_ >= 0) ::close(fd6_);
  fd4_ = -1;
  fd6_ = -1;
}

std::optional<std::string> RedirectListener::WaitForCode(const std::string& state, const std::string& startPage,
                                                         std::chrono::milliseconds wait, int cancelFd) {
  const Clock::time_point deadline = Clock::now() + wait;
  std::optional<RedirectQuery> ours;
  {
    Connections connections(state, startPage);
    std::vector<int> listeners;
    for (int fd : {fd4_, fd6_}) {
      if (fd >= 0) listeners.push_back(fd);
    }
    std::vector<pollfd> fds;
    while (!listeners.empty()) {
      // The listeners, the cancel descriptor, then one entry per connection.
      fds.clear();
      for (int fd : listeners) fds.push_back({fd, POLLIN, 0});
      if (cancelFd >= 0) fds.push_back({cancelFd, POLLIN, 0});
      const size_t first = fds.size();
      Clock::time_point wake = deadline;
      for (const Connection& connection : connections.Held()) {
        fds.push_back({connection.fd, POLLIN, 0});
        wake = std::min(wake, connection.deadline);
      }
      if (::poll(fds.data(), fds.size(), MillisecondsUntil(wake)) < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][wait failed: " << std::strerror(error) << "]";
        break;
      }
      if (cancelFd >= 0 && (fds[listeners.size()].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][cancelled]";
        break;
      }
      // Requests that arrived come before new connections, so that a stream
      // of new ones cannot push out one that has already sent its request.
      for (size_t i = 0; i < connections.Held().size() && !connections.Ours(); ++i) {
        if (fds[first + i].revents != 0) connections.Read(connections.Held()[i]);
      }
      const Clock::time_point now = Clock::now();
      connections.Expire(now);
      if (connections.Ours()) break;
      if (now >= deadline) {
        KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][no login in time]";
        break;
      }
      // One connection per listener and round, for the same reason.
      bool refused = false;
      for (size_t i = 0; i < listeners.size() && !connections.Ours(); ++i) {
        if (fds[i].revents == 0 || connections.Accept(fds[i].fd, deadline)) continue;
        // Anything else (no descriptors left) would only repeat, so the login ends.
        const int error = errno;
        KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][accept: " << std::strerror(error) << "]";
        refused = true;
        break;
      }
      if (refused || connections.Ours()) break;
      connections.Compact();
    }
    ours = connections.Ours();
  }
  Close();
  if (!ours) return std::nullopt;
  KX_LOG(DEBUG) << "[RedirectListener::WaitForCode][" << (ours->code ? "code received" : "no code") << "]";
  if (ours->code && ours->code->empty()) return std::nullopt;
  return ours->code;
}

}  // namespace belmor::korvex
