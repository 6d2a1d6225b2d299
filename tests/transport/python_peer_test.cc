// Python's xmlrpc module stands in for the gates: it is an independent peer,
// so these tests check both codecs against texts nobody here wrote.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "rpc_test_util.h"
#include "support/temp_dir.h"
#include "transport/rpc_request.h"
#include "transport/rpc_response.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

// Runs a Python script with `dir` as its argument and answers its standard
// output (and error, so a traceback shows in the failure).
std::string RunPython(const std::string& script, const std::string& dir) {
  const std::string path = dir + "/peer.py";
  WriteFile(path, script);
  const std::string command = "python3 '" + path + "' '" + dir + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot start python3";
    return std::string();
  }
  std::string output;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  return output;
}

const char kPythonPrelude[] = R"(import datetime, os, sys, xmlrpc.client
from xmlrpc.client import Binary, DateTime, Fault
out = sys.argv[1]
def reply(value):
    return xmlrpc.client.dumps((value,), methodresponse=True)
def fault(code, text):
    return xmlrpc.client.dumps(Fault(code, text))
)";

class PythonPeerTest : public ::testing::Test {
 protected:
  // Local times on both sides are those of one fixed zone.
  testing::ScopedTimeZone zone_;
  TempDir dir_;
};

TEST_F(PythonPeerTest, RepliesAndFaultsFromPythonReadBackToTheSameValues) {
  struct Case {
    const char* name;
    const char* python;  // an expression giving the document
    bool fault;
    RpcValue expected;
  };
  std::string bytes;
  for (int i = 0; i < 512; ++i) bytes.push_back(static_cast<char>(i));
  const Case cases[] = {
      {"markup", R"(reply('a<b & c>\r\n\'q\' "d" ]]> &amp; \u00e9\u20ac'))", false,
       RpcValue::MakeString("a<b & c>\r\n'q' \"d\" ]]> &amp; \xC3\xA9\xE2\x82\xAC")},
      {"empty_string", "reply('')", false, RpcValue::MakeString("")},
      {"ints", "reply([0, 1, -1, 2147483647, -2147483648])", false,
       RpcValue::MakeArray({RpcValue::MakeInt(0), RpcValue::MakeInt(1), RpcValue::MakeInt(-1),
                            RpcValue::MakeInt(2147483647), RpcValue::MakeInt(-2147483647 - 1)})},
      {"doubles", "reply([0.1, -1.5e-07, 1e300, 1234567.0])", false,
       RpcValue::MakeArray({RpcValue::MakeDouble(0.1), RpcValue::MakeDouble(-1.5e-07), RpcValue::MakeDouble(1e300),
                            RpcValue::MakeDouble(1234567.0)})},
      {"booleans", "reply([True, False])", false,
       RpcValue::MakeArray({RpcValue::MakeBoolean(true), RpcValue::MakeBoolean(false)})},
      {"date_time", "reply(DateTime(datetime.datetime(2023, 4, 10, 12, 0, 0)))", false,
       RpcValue::MakeDateTime(1681120800)},
      {"base64", "reply(Binary(bytes(range(256)) * 2))", false, RpcValue::MakeBase64(bytes)},
      {"empty_base64", "reply(Binary(b''))", false, RpcValue::MakeBase64("")},
      {"empty_array", "reply([])", false, RpcValue::MakeArray()},
      {"nested", R"(reply({'list': [1, ['a', {'k': []}], {}], 'empty': [], 'name': 'x<y>'}))", false,
       RpcValue::MakeStruct(
           {{"list", RpcValue::MakeArray({RpcValue::MakeInt(1),
                                          RpcValue::MakeArray({RpcValue::MakeString("a"),
                                                               RpcValue::MakeStruct({{"k", RpcValue::MakeArray()}})}),
                                          RpcValue::MakeStruct()})},
            {"empty", RpcValue::MakeArray()},
            {"name", RpcValue::MakeString("x<y>")}})},
      {"fault", "fault(4, 'Too <many> & params')", true,
       RpcValue::MakeStruct({{"faultCode", RpcValue::MakeInt(4)},
                             {"faultString", RpcValue::MakeString("Too <many> & params")}})},
      {"fault_empty", "fault(-32601, '')", true,
       RpcValue::MakeStruct({{"faultCode", RpcValue::MakeInt(-32601)}, {"faultString", RpcValue::MakeString("")}})},
  };
  std::string script = kPythonPrelude;
  script += "cases = [\n";
  for (const Case& c : cases) script += std::string("    ('") + c.name + "', " + c.python + "),\n";
  script += "]\n"
            "for name, text in cases:\n"
            "    with open(os.path.join(out, name + '.xml'), 'w', encoding='utf-8', newline='') as f:\n"
            "        f.write(text)\n";
  RunPython(script, dir_.path());

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ifstream in(dir_.Sub(std::string(c.name) + ".xml"), std::ios::binary);
    ASSERT_TRUE(in) << "python wrote no document";
    RpcResponse response;
    response.Read(in);
    EXPECT_EQ(response.IsFault(), c.fault);
    EXPECT_EQ(response.Result(), c.expected);
  }
}

TEST_F(PythonPeerTest, RequestsWeWriteParseInPythonToTheSameCall) {
  struct Case {
    const char* name;
    std::function<bool(RpcRequest&)> build;
    const char* python;  // what xmlrpc.client.loads must give
  };
  const std::string invoice = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<invoice a=\"1\">M\xC3\xBCller &amp; Co</invoice>";
  const RpcValue::Values list = {RpcValue::MakeInt(1), RpcValue::MakeString("x"), RpcValue::MakeArray(),
                                 RpcValue::MakeStruct()};
  const RpcValue::Members record = {
      {"a", RpcValue::MakeArray({RpcValue::MakeBoolean(true)})},
      {"b", RpcValue::MakeStruct({{"c", RpcValue::MakeString("")}})},
  };
  const RpcValue when = RpcValue::MakeDateTime(1681120800);
  const Case cases[] = {
      {"session_new", [](RpcRequest& r) { return r.Build("korvex.session.new", "S:sss", "korvex", "ordiva", "InputGate"); },
       "(('korvex', 'ordiva', 'InputGate'), 'korvex.session.new')"},
      {"write2", [&](RpcRequest& r) { return r.Build("korvex.inputgate.write2", "S:sB", "s-1", invoice); },
       R"((('s-1', b'<?xml version="1.0" encoding="UTF-8"?>\r\n<invoice a="1">M\xc3\xbcller &amp; Co</invoice>'), 'korvex.inputgate.write2'))"},
      {"write", [&](RpcRequest& r) { return r.Build("korvex.inputgate.write", "S:ss", "s-1", invoice); },
       R"((('s-1', '<?xml version="1.0" encoding="UTF-8"?>\r\n<invoice a="1">M\u00fcller &amp; Co</invoice>'), 'korvex.inputgate.write'))"},
      {"markup", [](RpcRequest& r) { return r.Build("m", "s:s", "a<b & c>\r\n'q' \"d\" ]]>"); },
       R"((('a<b & c>\r\n\'q\' "d" ]]>',), 'm'))"},
      {"empty_string", [](RpcRequest& r) { return r.Build("m", "s:s", ""); }, "(('',), 'm')"},
      {"no_params", [](RpcRequest& r) { return r.Build("korvex.queryminversion", "S:"); },
       "((), 'korvex.queryminversion')"},
      {"values", [&](RpcRequest& r) { return r.Build("m", ":bidXAS", true, -5, 0.1, when, list, record); },
       "((True, -5, 0.1, datetime.datetime(2023, 4, 10, 12, 0), [1, 'x', [], {}], "
       "{'a': [True], 'b': {'c': ''}}), 'm')"},
  };
  std::string script = kPythonPrelude;
  script += "expected = [\n";
  for (const Case& c : cases) {
    RpcRequest request("http://127.0.0.1/gate");
    ASSERT_TRUE(c.build(request)) << c.name;
    std::string text;
    request.Write(text);
    WriteFile(dir_.Sub(std::string(c.name) + ".xml"), text);
    script += std::string("    ('") + c.name + "', " + c.python + "),\n";
  }
  script += "]\n"
            "for name, want in expected:\n"
            "    try:\n"
            "        with open(os.path.join(out, name + '.xml'), 'rb') as f:\n"
            "            got = xmlrpc.client.loads(f.read(), use_builtin_types=True)\n"
            "        print(name, 'ok' if got == want else 'got %r, want %r' % (got, want))\n"
            "    except Exception as e:\n"
            "        print(name, 'error %r' % (e,))\n";
  std::map<std::string, std::string> verdicts;
  std::istringstream lines(RunPython(script, dir_.path()));
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.find(' ');
    if (space != std::string::npos) verdicts[line.substr(0, space)] = line.substr(space + 1);
  }
  for (const Case& c : cases) EXPECT_EQ(verdicts[c.name], "ok") << c.name;
}

}  // namespace
}  // namespace belmor::korvex
