// The login's loopback listener against real sockets: both loopback
// addresses, and local programs that connect and then stall, forge or crowd
// the listener while the browser's redirect comes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "transport/oauth_redirect.h"

namespace belmor::korvex {
namespace {

const std::string kState = "s3cret";
const std::string kStartPage = "https://start.example/";
const std::string kRightRedirect = "GET /?code=real&state=s3cret HTTP/1.1\r\nHost: localhost\r\n\r\n";

const char* AddressName(int family) { return family == AF_INET6 ? "::1" : "127.0.0.1"; }

bool HasIpv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return bound;
}

// One connection to the listener, as a browser or another local program
// makes it; from `localPort` when that is not 0.
class Client {
 public:
  Client(int family, int port, int localPort = 0) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&address);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      a->sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&address);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a->sin_port = htons(static_cast<uint16_t>(port));
      length = sizeof *a;
    }
    if (fd_ >= 0 && localPort != 0) {
      sockaddr_storage local = address;
      if (family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = htons(static_cast<uint16_t>(localPort));
      } else {
        reinterpret_cast<sockaddr_in*>(&local)->sin_port = htons(static_cast<uint16_t>(localPort));
      }
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), length) != 0) {
        ::close(fd_);
        fd_ = -1;
      }
    }
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return fd_ >= 0; }

  void Send(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  // Everything the listener sends until it closes the connection. Gives up
  // after a generous time, so that a listener that never answers fails the
  // test instead of hanging it.
  std::string ReadToEnd() {
    if (fd_ < 0) return "[not connected]";
    timeval limit{30, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        answer.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        return answer;
      } else if (errno != EINTR) {
        return answer + (errno == EAGAIN ? "[still open]" : "[" + std::string(std::strerror(errno)) + "]");
      }
    }
  }

 private:
  int fd_ = -1;
};

std::future<std::optional<std::string>> StartWait(RedirectListener& listener, std::chrono::milliseconds wait) {
  return std::async(std::launch::async, [&listener, wait] { return listener.WaitForCode(kState, kStartPage, wait); });
}

class RedirectListenerAddressTest : public ::testing::TestWithParam<int> {};

TEST_P(RedirectListenerAddressTest, RedirectIsAcceptedOnTheLoopbackAddress) {
  const int family = GetParam();
  if (family == AF_INET6 && !HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  RedirectListener listener;
  ASSERT_TRUE(listener.Open());
  const int port = listener.Port();
  auto code = StartWait(listener, std::chrono::seconds(20));
  Client browser(family, port);
  ASSERT_TRUE(browser.Connected());
  browser.Send(kRightRedirect);
  EXPECT_EQ(code.get(), "real");
  EXPECT_TRUE(browser.ReadToEnd().starts_with("HTTP/1.1 303 See other\r\nLocation: https://start.example/\r\n"));
  // Both addresses are closed once the login has its answer.
  EXPECT_FALSE(Client(AF_INET, port).Connected());
  if (HasIpv6Loopback()) {
    EXPECT_FALSE(Client(AF_INET6, port).Connected());
  }
}

INSTANTIATE_TEST_SUITE_P(BothAddresses, RedirectListenerAddressTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == AF_INET6 ? "Ipv6" : "Ipv4");
                         });

// Other local programs hold connections open while the browser's redirect
// comes on one more: the wait must end with its code at once, long before
// the wait's own limit, and every held connection is answered and closed.
TEST(RedirectListenerTest, HeldConnectionsDoNotKeepTheRedirectOut) {
  const bool ipv6 = HasIpv6Loopback();
  const int other = ipv6 ? AF_INET6 : AF_INET;
  struct Held {
    int family;
    std::string bytes;
  };
  struct Case {
    const char* name;
    std::vector<Held> held;
  };
  // Six stalled connections: a listener that served one after the other would
  // first wait out the read limit of each, far beyond the time allowed below.
  const std::vector<Held> stalled = {{AF_INET, ""},         {other, ""},
                                     {AF_INET, "GET /?code="}, {other, "GET /?code="},
                                     {AF_INET, "G"},        {other, "GET /?code=x&state=s3"}};
  std::vector<Held> crowd;
  for (int i = 0; i < 40; ++i) crowd.push_back({i % 2 == 0 ? AF_INET : other, i % 3 == 0 ? "GET /" : ""});
  const Case cases[] = {
      {"silent and stalled within the request line", stalled},
      {"forged state, whole and with the head unfinished",
       {{AF_INET, "GET /?code=forged&state=999 HTTP/1.1\r\nHost: localhost\r\n\r\n"},
        {other, "GET /?code=forged&state=s3cre HTTP/1.1\r\n"},
        {other, "GET /?code=forged&state=s3cretX HTTP/1.1\r\nHost: localhost\r\n\r\n"}}},
      {"more connections than the listener holds", crowd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedirectListener listener;
    ASSERT_TRUE(listener.Open());
    const int port = listener.Port();
    auto code = StartWait(listener, std::chrono::seconds(60));
    std::vector<std::unique_ptr<Client>> clients;
    for (const Held& held : c.held) {
      clients.push_back(std::make_unique<Client>(held.family, port));
      ASSERT_TRUE(clients.back()->Connected()) << AddressName(held.family);
      clients.back()->Send(held.bytes);
    }
    // The browser uses ::1 where there is one, while most crowd 127.0.0.1.
    Client browser(other, port);
    ASSERT_TRUE(browser.Connected());
    browser.Send(kRightRedirect);
    ASSERT_EQ(code.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(code.get(), "real");
    EXPECT_TRUE(browser.ReadToEnd().starts_with("HTTP/1.1 303 "));
    for (size_t i = 0; i < clients.size(); ++i) {
      const std::string answer = clients[i]->ReadToEnd();
      EXPECT_TRUE(answer.starts_with("HTTP/1.1 400 ")) << "connection " << i << ": " << answer;
    }
  }
}

// A connection that sends nothing, or stops within its request line, is
// answered and closed after a short read limit while the wait goes on.
TEST(RedirectListenerTest, StalledConnectionsAreDroppedWhileTheWaitGoesOn) {
  RedirectListener listener;
  ASSERT_TRUE(listener.Open());
  const int port = listener.Port();
  auto code = StartWait(listener, std::chrono::seconds(60));
  Client silent(AF_INET, port);
  Client stalled(AF_INET, port);
  stalled.Send("GET /?code=");
  EXPECT_TRUE(silent.ReadToEnd().starts_with("HTTP/1.1 400 "));
  EXPECT_TRUE(stalled.ReadToEnd().starts_with("HTTP/1.1 400 "));
  EXPECT_EQ(code.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  Client browser(AF_INET, port);
  browser.Send(kRightRedirect);
  EXPECT_EQ(code.get(), "real");
}

// Browsers open connections ahead and send on one when they need it; the
// one they never use is answered when the login ends.
TEST(RedirectListenerTest, RedirectOnAConnectionOpenedEarlierCounts) {
  RedirectListener listener;
  ASSERT_TRUE(listener.Open());
  const int port = listener.Port();
  auto code = StartWait(listener, std::chrono::seconds(60));
  Client browser(AF_INET, port);
  Client spare(AF_INET, port);
  // Time for the listener to take both while they are still silent.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  browser.Send(kRightRedirect);
  EXPECT_EQ(code.get(), "real");
  EXPECT_TRUE(browser.ReadToEnd().starts_with("HTTP/1.1 303 "));
  EXPECT_TRUE(spare.ReadToEnd().starts_with("HTTP/1.1 400 "));
}

// A request too long for a redirect is refused with its own status and the
// wait goes on; long headers, such as a browser's cookies for "localhost",
// do not cost the redirect its place.
TEST(RedirectListenerTest, OversizedRequestsAreRefusedButLongHeadersAreNot) {
  struct Case {
    const char* name;
    std::string request;
    const char* status;
  };
  std::string padding;
  while (padding.size() < 70 * 1024) padding += "X-Padding: " + std::string(100, 'p') + "\r\n";
  const std::string longCode(9000, 'k');
  const Case cases[] = {
      {"request line without end", "GET /?code=" + longCode, "HTTP/1.1 414 "},
      {"long request line", "GET /?code=" + longCode + "&state=s3cret HTTP/1.1\r\n\r\n", "HTTP/1.1 414 "},
      {"head past its limit", "GET /?code=real&state=s3cret HTTP/1.1\r\n" + padding + "\r\n", "HTTP/1.1 431 "},
  };
  RedirectListener listener;
  ASSERT_TRUE(listener.Open());
  const int port = listener.Port();
  auto code = StartWait(listener, std::chrono::seconds(60));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(AF_INET, port);
    client.Send(c.request);
    EXPECT_TRUE(client.ReadToEnd().starts_with(c.status));
  }
  EXPECT_EQ(code.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  Client browser(AF_INET, port);
  browser.Send("GET /?code=real&state=s3cret HTTP/1.1\r\nHost: localhost\r\nCookie: " + std::string(30000, 'c') +
               "\r\n\r\n");
  EXPECT_EQ(code.get(), "real");
  EXPECT_TRUE(browser.ReadToEnd().starts_with("HTTP/1.1 303 "));
}

// Runs `body` on a thread of its own in a fresh network namespace with its
// loopback interface up, after `setUp` (sysctl file, value) pairs are
// written there. Empty when the namespace cannot be had (no privilege), else
// what `body` answered.
std::optional<std::string> InOwnNetwork(const std::vector<std::pair<std::string, std::string>>& setUp,
                                        const std::function<std::string()>& body) {
  std::optional<std::string> result;
  std::thread thread([&] {
    if (::unshare(CLONE_NEWNET) != 0) return;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0) ::close(fd);
    if (!up) return;
    for (const auto& [path, value] : setUp) {
      int file = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      const bool written = file >= 0 && ::write(file, value.data(), value.size()) == static_cast<ssize_t>(value.size());
      if (file >= 0) ::close(file);
      if (!written) {
        result = "cannot write " + path;
        return;
      }
    }
    result = body();
  });
  thread.join();
  return result;
}

// Reaches the listener from the thread that waits: the connection is made
// and the request sent before the wait starts, the system holds both. The
// browser's own port lies outside any narrowed range the system picks from.
std::string RedirectOn(int family, RedirectListener& listener) {
  Client browser(family, listener.Port(), 45000);
  if (!browser.Connected()) return "no connection on " + std::string(AddressName(family));
  browser.Send(kRightRedirect);
  const std::optional<std::string> code = listener.WaitForCode(kState, kStartPage, std::chrono::seconds(20));
  return code.value_or("no code") + " " + browser.ReadToEnd().substr(0, 12);
}

TEST(RedirectListenerTest, MachineWithoutIpv6IsServedOn127001Alone) {
  const std::optional<std::string> outcome =
      InOwnNetwork({{"/proc/sys/net/ipv6/conf/lo/disable_ipv6", "1"}}, [] {
        if (HasIpv6Loopback()) return std::string("::1 still there");
        RedirectListener listener;
        if (!listener.Open()) return std::string("not open");
        return RedirectOn(AF_INET, listener);
      });
  if (!outcome) GTEST_SKIP() << "no network namespace of our own here";
  EXPECT_EQ(*outcome, "real HTTP/1.1 303");
}

// The system picks ports from a range of two; those taken on ::1 by another
// program are passed over, and with both taken there is no listener at all
// rather than one whose ::1 half would reach the other program.
TEST(RedirectListenerTest, PortTakenOnIpv6IsPassedOver) {
  struct Case {
    std::vector<int> taken;
    std::string outcome;
  };
  const Case cases[] = {
      {{}, "real HTTP/1.1 303 via ::1"},
      {{40000}, "port 40001: real HTTP/1.1 303 via ::1"},
      {{40001}, "port 40000: real HTTP/1.1 303 via ::1"},
      {{40000, 40001}, "not open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome);
    const std::optional<std::string> outcome =
        InOwnNetwork({{"/proc/sys/net/ipv4/ip_local_port_range", "40000 40001"}}, [&c] {
          std::vector<int> holders;
          for (int port : c.taken) {
            int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_addr = in6addr_loopback;
            address.sin6_port = htons(static_cast<uint16_t>(port));
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
              return std::string("cannot take ") + std::to_string(port);
            }
            holders.push_back(fd);
          }
          std::string result;
          RedirectListener listener;
          if (!listener.Open()) {
            result = "not open";
          } else {
            if (!c.taken.empty()) result = "port " + std::to_string(listener.Port()) + ": ";
            result += RedirectOn(AF_INET6, listener) + " via ::1";
          }
          for (int fd : holders) ::close(fd);
          return result;
        });
    if (!outcome) GTEST_SKIP() << "no network namespace of our own here";
    EXPECT_EQ(*outcome, c.outcome);
  }
}

}  // namespace
}  // namespace belmor::korvex
