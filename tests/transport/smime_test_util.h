#ifndef KORVEX_TESTS_TRANSPORT_SMIME_TEST_UTIL_H_
#define KORVEX_TESTS_TRANSPORT_SMIME_TEST_UTIL_H_

// Keys and certificates for the S/MIME tests, made with the openssl command
// when a suite starts (none is ever committed), and a way to let the openssl
// command check our blocks.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "support/temp_dir.h"

namespace belmor::korvex::testing {

struct CommandResult {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string output;
};

// Runs a shell command and collects its standard output (and error).
inline CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.output.append(chunk, n);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

struct TestIdentity {
  std::string certificate;  // PEM
  std::string key;          // PEM, no pass phrase
  std::string certificatePath;
  std::string keyPath;
};

// A self-signed RSA certificate and its key for each name, files
// "<dir>/<name>.crt" and "<dir>/<name>.key".
inline std::map<std::string, TestIdentity> MakeIdentities(const std::string& dir,
                                                          const std::vector<std::string>& names) {
  std::map<std::string, TestIdentity> identities;
  for (const std::string& name : names) {
    TestIdentity id;
    id.certificatePath = dir + "/" + name + ".crt";
    id.keyPath = dir + "/" + name + ".key";
    const CommandResult made = RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=" + name +
                                   "' -keyout '" + id.keyPath + "' -out '" + id.certificatePath + "'");
    EXPECT_EQ(made.status, 0) << made.output;
    id.certificate = belmor::testing::ReadFile(id.certificatePath);
    id.key = belmor::testing::ReadFile(id.keyPath);
    identities[name] = id;
  }
  return identities;
}

}  // namespace belmor::korvex::testing

#endif  // KORVEX_TESTS_TRANSPORT_SMIME_TEST_UTIL_H_
