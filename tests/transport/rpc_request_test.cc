#include "transport/rpc_request.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "rpc_test_util.h"

namespace belmor::korvex {
namespace {

std::string ValueText(const RpcValue& value) {
  std::ostringstream out;
  WriteRpcValue(value, out);
  return out.str();
}

// The document as the stream writer makes it; the string writer must append
// exactly the same text.
std::string RequestText(const RpcRequest& request) {
  std::ostringstream out;
  request.Write(out);
  std::string appended = "head:";
  request.Write(appended);
  EXPECT_EQ(appended, "head:" + out.str());
  return out.str();
}

TEST(RpcRequestTest, WritesARequestWithoutParameters) {
  RpcRequest request("https://tc.example/session");
  ASSERT_TRUE(request.Build("korvex.queryminversion", "S:"));
  EXPECT_EQ(RequestText(request),
            "<?xml version=\"1.0\"?>\n"
            "<methodCall>\n"
            "  <methodName>korvex.queryminversion</methodName>\n"
            "  <params>\n"
            "  </params>\n"
            "</methodCall>\n");
}

TEST(RpcRequestTest, WritesEachParameterInItsParamBlock) {
  RpcRequest request;
  ASSERT_TRUE(request.Build("korvex.inputgate.write2", "S:sBb", "s-1", "<x/>", true));
  EXPECT_EQ(RequestText(request),
            "<?xml version=\"1.0\"?>\n"
            "<methodCall>\n"
            "  <methodName>korvex.inputgate.write2</methodName>\n"
            "  <params>\n"
            "    <param>\n"
            "<value><string>s-1</string></value>\n"
            "    </param>\n"
            "    <param>\n"
            "<value><base64>PHgvPg==</base64></value>\n"
            "    </param>\n"
            "    <param>\n"
            "<value><boolean>1</boolean></value>\n"
            "    </param>\n"
            "  </params>\n"
            "</methodCall>\n");
}

TEST(RpcRequestTest, WritesScalarValueTexts) {
  const std::pair<RpcValue, std::string> cases[] = {
      {RpcValue::MakeString("a<b & c>\r"), "<value><string>a&lt;b &amp; c&gt;&#xD;</string></value>\n"},
      {RpcValue::MakeString("\"quotes\" and 'apostrophes'\n"),
       "<value><string>\"quotes\" and 'apostrophes'\n</string></value>\n"},
      {RpcValue::MakeString(std::string("cut\0here", 8)), "<value><string>cut</string></value>\n"},
      {RpcValue::MakeString(""), "<value><string></string></value>\n"},
      {RpcValue::MakeDouble(0.1), "<value><double>0.1</double></value>\n"},
      {RpcValue::MakeDouble(1234567), "<value><double>1.23457e+06</double></value>\n"},
      {RpcValue::MakeInt(-2147483647 - 1), "<value><int>-2147483648</int></value>\n"},
      {RpcValue::MakeBoolean(false), "<value><boolean>0</boolean></value>\n"},
      {RpcValue::MakeBase64(std::string("\0\xFF", 2)), "<value><base64>AP8=</base64></value>\n"},
      {RpcValue(), "<value></value>\n"},
      {RpcValue::MakeNull(), "<value></value>\n"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(ValueText(value), text);
}

TEST(RpcRequestTest, WritesDateTimeAsLocalTime) {
  testing::ScopedTimeZone zone;
  // 2023-04-10 10:00:00 UTC is noon in summer time, 2023-01-10 11:00:00 UTC noon in winter.
  EXPECT_EQ(ValueText(RpcValue::MakeDateTime(1681120800)),
            "<value><dateTime.iso8601>20230410T12:00:00</dateTime.iso8601></value>\n");
  EXPECT_EQ(ValueText(RpcValue::MakeDateTime(1673348400)),
            "<value><dateTime.iso8601>20230110T12:00:00</dateTime.iso8601></value>\n");
}

TEST(RpcRequestTest, WritesArrays) {
  EXPECT_EQ(ValueText(RpcValue::MakeArray({RpcValue::MakeInt(1)})),
            "<value><array>\n  <data>\n    <value><int>1</int></value>\n  </data>\n</array></value>\n");
  EXPECT_EQ(ValueText(RpcValue::MakeArray({RpcValue::MakeInt(1), RpcValue::MakeInt(2)})),
            "<value><array>\n  <data>\n    <value><int>1</int></value>\n    <value><int>2</int></value>\n"
            "  </data>\n</array></value>\n");
  EXPECT_EQ(ValueText(RpcValue::MakeArray()), "<value><array>\n  <data>\n  </data>\n</array></value>\n");
}

TEST(RpcRequestTest, WritesNestedStructsWithNamesUnescaped) {
  RpcValue inner = RpcValue::MakeStruct({{"code", RpcValue::MakeInt(4)}});
  RpcValue outer = RpcValue::MakeStruct({{"a&b", RpcValue::MakeString("x")}, {"inner", inner}});
  EXPECT_EQ(ValueText(outer),
            "<value><struct>\n"
            "  <member>\n"
            "    <name>a&b</name>\n"
            "    <value><string>x</string></value>\n"
            "  </member>\n"
            "  <member>\n"
            "    <name>inner</name>\n"
            "    <value><struct>\n"
            "  <member>\n"
            "    <name>code</name>\n"
            "    <value><int>4</int></value>\n"
            "  </member>\n"
            "</struct></value>\n"
            "  </member>\n"
            "</struct></value>\n");
}

TEST(RpcRequestTest, BuildTurnsSignatureLettersIntoParameters) {
  const RpcValue::Values values = {RpcValue::MakeInt(1)};
  const RpcValue::Members members = {{"k", RpcValue::MakeString("v")}};
  const RpcValue any = RpcValue::MakeNull();
  const std::string text("with\0nul", 8);
  RpcRequest request;
  ASSERT_TRUE(request.Build("m", "X:sBbbidAASSX", "text", text, 0, 7, -3, 2.5, values,
                            RpcValue::MakeArray(values), members, RpcValue::MakeStruct(members), any));
  EXPECT_EQ(request.MethodName(), "m");
  const RpcValue::Values expected = {
      RpcValue::MakeString("text"),  RpcValue::MakeBase64(text),   RpcValue::MakeBoolean(false),
      RpcValue::MakeBoolean(true),   RpcValue::MakeInt(-3),        RpcValue::MakeDouble(2.5),
      RpcValue::MakeArray(values),   RpcValue::MakeArray(values),  RpcValue::MakeStruct(members),
      RpcValue::MakeStruct(members), RpcValue::MakeNull(),
  };
  EXPECT_EQ(request.Params(), expected);
}

TEST(RpcRequestTest, BuildIgnoresTheReplyLettersAndFailsOnMismatches) {
  struct Case {
    const char* signature;
    bool ok;
    size_t params;  // kept after the call
  };
  const std::string session = "s-1";
  const Case cases[] = {
      {"b:s", true, 1},     // the reply letter plays no part
      {"s", false, 0},      // no ":": all reply letters, the argument is left over
      {"b:sq", false, 1},   // unknown letter after one good one
      {"b:i", false, 0},    // text where an integer belongs
      {"b:ss", false, 1},   // too few arguments
      {"::s", false, 0},    // ":" is not a parameter letter
  };
  for (const Case& c : cases) {
    RpcRequest request;
    request.Params().push_back(RpcValue::MakeInt(99));  // replaced by Build
    EXPECT_EQ(request.Build("korvex.session.close", c.signature, session), c.ok) << c.signature;
    EXPECT_EQ(request.Params().size(), c.params) << c.signature;
    if (c.params > 0) {
      EXPECT_EQ(request.Params()[0], RpcValue::MakeString("s-1"));
    }
  }
}

TEST(RpcRequestTest, BuildCopiesDeeply) {
  RpcValue::Values values = {RpcValue::MakeString("before")};
  RpcRequest request;
  ASSERT_TRUE(request.Build("m", ":A", values));
  values[0] = RpcValue::MakeString("after");
  EXPECT_EQ(request.Params()[0].AsArray()[0].AsString(), "before");
}

}  // namespace
}  // namespace belmor::korvex
