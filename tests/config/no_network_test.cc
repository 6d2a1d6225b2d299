// The configuration schema comes from the trust center (or a copy of it on
// disk). An import or include that names an address must never make libxml2
// fetch it by itself, not even for the first schema a fresh process compiles:
// that would be a clear-text request at every start. Each case runs in a new
// process, so no earlier test of this program can have set libxml2 up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "config/client_config.h"
#include "config/config.h"
#include "config/config_loader.h"
#include "config/document_loader.h"
#include "config/zip_config_loader.h"
#include "engine/korvex.h"
#include "package_fixture.h"
#include "platform/scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;
using Files = std::map<std::string, std::string>;

// A loopback HTTP listener that counts the connections it gets and answers
// each with 404, so a client that does connect is not left waiting.
class CountingListener {
 public:
  CountingListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CountingListener() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  std::string Url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  int Connections() const { return connections_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      int connection = ::accept(fd_, nullptr, nullptr);
      if (connection < 0) continue;
      ++connections_;
      char buffer[4096];
      pollfd in{connection, POLLIN, 0};
      if (::poll(&in, 1, 2000) > 0) {
        [[maybe_unused]] ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      }
      const char reply[] = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      ::send(connection, reply, sizeof reply - 1, MSG_NOSIGNAL);
      ::close(connection);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// The shipped schema with an import of `location` in front of its first element.
std::string SchemaImporting(const std::string& location) {
  return std::regex_replace(fixture::Read("korvex.xsd"), std::regex("(<xs:element name=\"config\">)"),
                            "<xs:import namespace=\"urn:elsewhere\" schemaLocation=\"" + location + "\"/>\n  $1",
                            std::regex_constants::format_first_only);
}

// Runs `load` in a fresh process, as that process's first XML work, with a
// listener whose address the load's schema imports; the process ends with
// the number of connections the listener saw (a failing load is no matter).
void ExpectNoConnection(const std::function<void(const std::string& location)>& load, const std::string& name) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int seen = 0;
        {
          CountingListener listener;
          try {
            load(listener.Url(name));
          } catch (...) {
          }
          seen = listener.Connections();
        }
        std::_Exit(seen);
      },
      ::testing::ExitedWithCode(0), "")
      << "the import at " << name << " was fetched";
}

// With and without a schema file name in the address: the first reaches
// the reference loader's callbacks, the second none at all.
const char* const kImportNames[] = {"elsewhere.xsd", "elsewhere"};

TEST(NoNetworkTest, LocalLoadFetchesNoImportedSchema) {
  for (const char* name : kImportNames) {
    SCOPED_TRACE(name);
    ExpectNoConnection(
        [](const std::string& location) {
          TempDir dir;
          WriteFile(dir.Sub("korvex.xml"), fixture::Read("korvex.xml"));
          WriteFile(dir.Sub("korvex.xsd"), SchemaImporting(location));
          auto files = std::make_shared<FileDocumentLoader>(dir.path());
          ConfigLoader(files, files, nullptr).Load(std::make_shared<Config>());
        },
        name);
  }
}

TEST(NoNetworkTest, OnlineLoadFetchesNoImportedSchema) {
  for (const char* name : kImportNames) {
    SCOPED_TRACE(name);
    ExpectNoConnection(
        [](const std::string& location) {
          auto config = std::make_shared<FileMapDocumentLoader>(Files{{"korvex.xml", fixture::Read("korvex.xml")}});
          auto schema = std::make_shared<FileMapDocumentLoader>(Files{{"korvex.xsd", SchemaImporting(location)}});
          auto package = std::make_shared<FileMapDocumentLoader>(Files{{"kx-schemas.zip", fixture::PackageZip()}});
          ZipConfigLoader(config, schema, package).Load(std::make_shared<Config>());
        },
        name);
  }
}

TEST(NoNetworkTest, LoneSchemaOrStylesheetFetchesNoImport) {
  // What a step compiles from a package document, before any configuration
  // was ever loaded in the process.
  ExpectNoConnection(
      [](const std::string& location) {
        XsdDoc("<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:include schemaLocation=\"" +
               location + "\"/></xs:schema>");
      },
      "lone.xsd");
  ExpectNoConnection(
      [](const std::string& location) {
        XslDoc("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
               "<xsl:import href=\"" +
               location + "\"/></xsl:stylesheet>");
      },
      "lone.xsl");
}

TEST(NoNetworkTest, EngineStartFetchesNoImportedSchema) {
  ExpectNoConnection(
      [](const std::string& location) {
        TempDir dir;
        ScopedEnv configHome("XDG_CONFIG_HOME", dir.Sub("config"));
        ScopedEnv documents("XDG_DOCUMENTS_DIR", dir.Sub("docs"));
        WriteFile(dir.Sub("program/korvex.xml"), fixture::Read("korvex.xml"));
        WriteFile(dir.Sub("program/korvex.xsd"), SchemaImporting(location));
        auto engine = std::make_shared<Korvex>();
        engine->SetResourcePath(common::Path(dir.Sub("program/"), true));
        engine->SetClientConfig(MakeClientConfig(engine));
        engine->Init();
      },
      "engine.xsd");
}

}  // namespace
}  // namespace belmor::korvex
