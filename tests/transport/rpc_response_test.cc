#include "transport/rpc_response.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "rpc_test_util.h"
#include "transport/rpc_request.h"

namespace belmor::korvex {
namespace {

// Reads from a stream; reading the text in place must give the same reply.
RpcResponse ReadText(const std::string& text) {
  std::istringstream in(text);
  RpcResponse response;
  response.Read(in);
  RpcResponse in_place;
  in_place.Read(std::string_view(text));
  EXPECT_EQ(in_place.IsFault(), response.IsFault());
  EXPECT_EQ(in_place.Result(), response.Result());
  return response;
}

// A reply document around one value text.
std::string Reply(const std::string& value) {
  return "<?xml version=\"1.0\"?>\n<methodResponse><params><param>" + value +
         "</param></params></methodResponse>";
}

TEST(RpcResponseTest, ReadsEachKindOfValue) {
  testing::ScopedTimeZone zone;
  const std::pair<const char*, RpcValue> cases[] = {
      {"<value><int>42</int></value>", RpcValue::MakeInt(42)},
      {"<value><i4>7</i4></value>", RpcValue::MakeInt(7)},
      {"<value><int> -12x</int></value>", RpcValue::MakeInt(-12)},
      {"<value><int>9999999999</int></value>", RpcValue::MakeInt(2147483647)},
      {"<value><double>-0.5</double></value>", RpcValue::MakeDouble(-0.5)},
      {"<value><boolean>1</boolean></value>", RpcValue::MakeBoolean(true)},
      {"<value><boolean>0</boolean></value>", RpcValue::MakeBoolean(false)},
      {"<value><string>plain</string></value>", RpcValue::MakeString("plain")},
      {"<value><string></string></value>", RpcValue::MakeString("")},
      {"<value>abc</value>", RpcValue::MakeString("abc")},
      {"<value><string>  spaced \n</string></value>", RpcValue::MakeString("  spaced \n")},
      // Blanks ahead of bare text are passed over while the reader looks for a tag.
      {"<value>  bare \n</value>", RpcValue::MakeString("bare \n")},
      {"<value><string>a&lt;b &amp; c&gt;&#xD;</string></value>", RpcValue::MakeString("a<b & c>\r")},
      {"<value><base64>QQ==</base64></value>", RpcValue::MakeBase64("A")},
      {"<value><base64>\nQUJD\nREVG\n</base64></value>", RpcValue::MakeBase64("ABCDEF")},
      {"<value><base64></base64></value>", RpcValue::MakeBase64("")},
      {"<value><dateTime.iso8601>20230410T12:00:00</dateTime.iso8601></value>", RpcValue::MakeDateTime(1681120800)},
      {"<value><dateTime.iso8601>20230110T12:00:00</dateTime.iso8601></value>", RpcValue::MakeDateTime(1673348400)},
      {"<value><array><data></data></array></value>", RpcValue::MakeArray()},
      {"<value><array><data><value><int>1</int></value><value>x</value>"
       "<value><array><data><value><boolean>1</boolean></value></data></array></value></data></array></value>",
       RpcValue::MakeArray({RpcValue::MakeInt(1), RpcValue::MakeString("x"),
                            RpcValue::MakeArray({RpcValue::MakeBoolean(true)})})},
      {"<value><struct></struct></value>", RpcValue::MakeStruct()},
      {"<value><struct><member><name>a</name><value><struct><member><name>b</name><value>1</value></member>"
       "</struct></value></member><member><name>c</name><value><i4>2</i4></value></member></struct></value>",
       RpcValue::MakeStruct({{"a", RpcValue::MakeStruct({{"b", RpcValue::MakeString("1")}})},
                             {"c", RpcValue::MakeInt(2)}})},
  };
  for (const auto& [value, expected] : cases) {
    const RpcResponse response = ReadText(Reply(value));
    EXPECT_FALSE(response.IsFault()) << value;
    EXPECT_EQ(response.Result(), expected) << value;
  }
}

TEST(RpcResponseTest, ReadsWhatTheRequestWriterWrites) {
  testing::ScopedTimeZone zone;
  const RpcValue value = RpcValue::MakeStruct({
      {"text", RpcValue::MakeString("a<b & c>\r\n\"q\" 'a' \xC3\xA9")},
      {"list", RpcValue::MakeArray({RpcValue::MakeInt(-1), RpcValue::MakeDouble(0.25), RpcValue::MakeArray(),
                                    RpcValue::MakeStruct(), RpcValue::MakeString("")})},
      {"bytes", RpcValue::MakeBase64(std::string("\0\x01\xFE\xFF<>&", 7))},
      {"when", RpcValue::MakeDateTime(1681120800)},
      {"flag", RpcValue::MakeBoolean(true)},
  });
  std::ostringstream out;
  WriteRpcValue(value, out);
  EXPECT_EQ(ReadText(Reply(out.str())).Result(), value);
}

TEST(RpcResponseTest, MemberNamesKeepTheirEntitiesButStringsDecodeThem) {
  const RpcResponse response = ReadText(Reply(
      "<value><struct><member><name>a&amp;b</name><value><string>a&amp;b</string></value></member>"
      "</struct></value>"));
  ASSERT_EQ(response.Result().AsStruct().size(), 1u);
  EXPECT_EQ(response.Result().AsStruct()[0].name, "a&amp;b");
  EXPECT_EQ(response.Result().GetMember("a&amp;b").AsString(), "a&b");
}

TEST(RpcResponseTest, DecodesTheEntitiesXmlDefinesAndKeepsUnknownOnes) {
  const std::pair<const char*, const char*> cases[] = {
      {"&quot;&apos;", "\"'"},
      {"&#13;&#xd;&#x0D;", "\r\r\r"},
      {"&#233;&#x20AC;&#x1F600;", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"&amp;lt;", "&lt;"},  // decoded once only
      {"&nbsp; &unknown; & alone &", "&nbsp; &unknown; & alone &"},
      {"&#0; &#xD800; &#x110000; &#12a; &#; &#x;", "&#0; &#xD800; &#x110000; &#12a; &#; &#x;"},
      {"&amp", "&amp"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ReadText(Reply(std::string("<value><string>") + text + "</string></value>")).Result(),
              RpcValue::MakeString(expected))
        << text;
  }
}

TEST(RpcResponseTest, PassesOverDeclarationsCommentsAndAttributes) {
  const RpcResponse response = ReadText(
      "<?xml version='1.0' encoding='UTF-8'?>\n"
      "<!-- generated -->\n"
      "<methodResponse xmlns:x=\"urn:x\">\n"
      "  <params id='1'>\n"
      "    <!--one--><param>\n"
      "      <value kind=\"list\"><array a='b'><data>\n"
      "        <value><int z=\"0\">5</int></value>\n"
      "        <!-- between -->\n"
      "        <value><struct t='s'>\n"
      "          <member><name n='x'>k</name><value><string s=''>v</string></value></member>\n"
      "        </struct></value>\n"
      "      </data></array></value>\n"
      "    </param>\n"
      "  </params>\n"
      "</methodResponse>\n");
  EXPECT_EQ(response.Result(),
            RpcValue::MakeArray({RpcValue::MakeInt(5), RpcValue::MakeStruct({{"k", RpcValue::MakeString("v")}})}));
}

TEST(RpcResponseTest, AFaultYieldsItsValueAndSetsTheFlag) {
  const RpcResponse response = ReadText(
      "<?xml version=\"1.0\"?><methodResponse><fault><value><struct>"
      "<member><name>faultCode</name><value><int>4</int></value></member>"
      "<member><name>faultString</name><value><string>Too many parameters.</string></value></member>"
      "</struct></value></fault></methodResponse>");
  EXPECT_TRUE(response.IsFault());
  EXPECT_EQ(response.Result().GetMember("faultCode").AsInt(), 4);
  EXPECT_EQ(response.Result().GetMember("faultString").AsString(), "Too many parameters.");
}

TEST(RpcResponseTest, OtherDocumentsLeaveTheResultInvalid) {
  for (const char* text : {"", "<methodCall><params><param><value>1</value></param></params></methodCall>",
                           "<methodResponse><other><value>1</value></other></methodResponse>",
                           "<methodResponse><params><value>1</value></params></methodResponse>", "plain text"}) {
    std::istringstream in(text);
    RpcResponse response;
    response.Read(in);
    EXPECT_FALSE(response.IsFault()) << text;
    EXPECT_FALSE(response.Result().IsValid()) << text;
    EXPECT_THROW(response.Result().AsStruct(), RpcError);
  }
}

TEST(RpcResponseTest, ReadingAgainReplacesTheEarlierReply) {
  RpcResponse response;
  std::istringstream fault("<methodResponse><fault><value>x</value></fault></methodResponse>");
  response.Read(fault);
  ASSERT_TRUE(response.IsFault());
  std::istringstream other("<html/>");
  response.Read(other);
  EXPECT_FALSE(response.IsFault());
  EXPECT_FALSE(response.Result().IsValid());
}

TEST(RpcResponseTest, ReportsTheFailuresItCannotReadPast) {
  struct Case {
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"<value><string/></value>", "Invalid XML"},
      {"<value></value>", "Invalid XML"},
      {"<value><dateTime.iso8601>2023041</dateTime.iso8601></value>", "Invalid type conversion"},
      {"<value><dateTime.iso8601>2023-04-10T12:00:00</dateTime.iso8601></value>", "Invalid type conversion"},
      {"<value><base64>QQ=x</base64></value>", "Invalid Base64"},
      {"<value><base64>Q</base64></value>", "Invalid Base64"},
  };
  for (const Case& c : cases) {
    try {
      ReadText(Reply(c.value));
      ADD_FAILURE() << "no error for " << c.value;
    } catch (const RpcError& e) {
      EXPECT_EQ(e.Message(), c.message) << c.value;
    }
  }
}

// Every prefix of a reply reads without hanging or crashing; the values
// complete before the cut are kept.
TEST(RpcResponseTest, TruncatedRepliesYieldWhatWasReadSoFar) {
  const std::string full = Reply(
      "<value><array><data><value><int>1</int></value><value><struct><member><name>k</name>"
      "<value><base64>QUJD</base64></value></member></struct></value><value>tail</value></data></array></value>");
  for (size_t length = 0; length <= full.size(); ++length) {
    std::istringstream in(full.substr(0, length));
    RpcResponse response;
    try {
      response.Read(in);
    } catch (const RpcError&) {
      // A cut inside a tag where text was expected.
    }
  }
  const size_t cut = full.find("<value><struct>");
  const RpcResponse first = ReadText(full.substr(0, cut));
  EXPECT_EQ(first.Result(), RpcValue::MakeArray({RpcValue::MakeInt(1)}));
  const RpcResponse mid = ReadText(full.substr(0, full.find("</struct>")));
  EXPECT_EQ(mid.Result(), RpcValue::MakeArray({RpcValue::MakeInt(1),
                                               RpcValue::MakeStruct({{"k", RpcValue::MakeBase64("ABC")}})}));
}

TEST(RpcResponseTest, MismatchedClosingTagsDoNotStopTheReader) {
  const RpcResponse response = ReadText(Reply(
      "<value><array><data><value><int>1</integer></value><value><int>2</int></value></data></array></value>"));
  EXPECT_EQ(response.Result(), RpcValue::MakeArray({RpcValue::MakeInt(1), RpcValue::MakeInt(2)}));
}

TEST(RpcResponseTest, RefusesNestingBeyondTheLimit) {
  const auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<value><array><data>";
    text += "<value>x</value>";
    for (int i = 0; i < depth; ++i) text += "</data></array></value>";
    return Reply(text);
  };
  RpcValue expected = RpcValue::MakeString("x");
  for (int i = 0; i < RpcResponse::kMaxDepth; ++i) expected = RpcValue::MakeArray({expected});
  EXPECT_EQ(ReadText(nested(RpcResponse::kMaxDepth)).Result(), expected);
  EXPECT_THROW(ReadText(nested(RpcResponse::kMaxDepth + 1)), RpcError);
  EXPECT_THROW(ReadText(nested(100000)), RpcError);
}

}  // namespace
}  // namespace belmor::korvex
