#include "transport/json.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "rpc_test_util.h"

namespace belmor::korvex {
namespace {

std::string Json(const RpcValue& value) {
  std::ostringstream out;
  WriteJson(value, out);
  return out.str();
}

RpcValue Read(const std::string& text) {
  std::istringstream in(text);
  RpcValue value = RpcValue::MakeString("stale");
  ReadJson(value, in);
  return value;
}

TEST(JsonTest, WritesWithoutBlanks) {
  EXPECT_EQ(Json(RpcValue::MakeStruct({{"a", RpcValue::MakeInt(1)}, {"b", RpcValue::MakeString("x\"y")}})),
            "{\"a\":1,\"b\":\"x\\\"y\"}");
  const RpcValue tokens = RpcValue::MakeStruct({
      {"client_id", RpcValue::MakeString("ch.korvex.ordivaclient")},
      {"tokens", RpcValue::MakeArray({RpcValue::MakeStruct({{"hin_id", RpcValue::MakeString("dr.muster")},
                                                            {"expire", RpcValue::MakeInt(-5)}}),
                                      RpcValue::MakeStruct()})},
      {"empty", RpcValue::MakeArray()},
  });
  EXPECT_EQ(Json(tokens),
            "{\"client_id\":\"ch.korvex.ordivaclient\",\"tokens\":[{\"hin_id\":\"dr.muster\",\"expire\":-5},{}],"
            "\"empty\":[]}");
}

TEST(JsonTest, WritesEachKind) {
  testing::ScopedTimeZone zone;
  const std::pair<RpcValue, std::string> cases[] = {
      {RpcValue::MakeInt(-2147483647 - 1), "-2147483648"},
      {RpcValue::MakeDouble(0.1), "0.1"},
      {RpcValue::MakeDouble(1234567), "1.23457e+06"},
      {RpcValue::MakeBoolean(true), "true"},
      {RpcValue::MakeBoolean(false), "false"},
      {RpcValue::MakeNull(), "null"},
      {RpcValue(), ""},
      {RpcValue::MakeString("\b\t\n\f\r\"\\/\x01\xC3\xA9"), "\"\\b\\t\\n\\f\\r\\\"\\\\/\x01\xC3\xA9\""},
      {RpcValue::MakeString(std::string("cut\0here", 8)), "\"cut\""},
      {RpcValue::MakeDateTime(1681120800), "\"20230410T12:00:00\""},
      {RpcValue::MakeBase64("A"), "\"QQ==\""},
      {RpcValue::MakeArray({RpcValue::MakeInt(1), RpcValue::MakeString("2"), RpcValue::MakeArray()}), "[1,\"2\",[]]"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(Json(value), text);
}

TEST(JsonTest, ReadsScalars) {
  const std::pair<const char*, RpcValue> cases[] = {
      {"3600", RpcValue::MakeInt(3600)},
      {"-7", RpcValue::MakeInt(-7)},
      {"1.5e3", RpcValue::MakeDouble(1500)},
      {"2E-1", RpcValue::MakeDouble(0.2)},
      {"-0.5", RpcValue::MakeDouble(-0.5)},
      {"99999999999", RpcValue::MakeInt(2147483647)},
      {"-", RpcValue::MakeInt(0)},
      {"12-3", RpcValue::MakeInt(12)},
      {"true", RpcValue::MakeBoolean(true)},
      {"false", RpcValue::MakeBoolean(false)},
      {"null", RpcValue::MakeNull()},
      {"\"text\"", RpcValue::MakeString("text")},
      {"\"\"", RpcValue::MakeString("")},
      {"  \n\t:, xyz 5", RpcValue::MakeInt(5)},  // everything before a value is skipped
      {"\"open", RpcValue::MakeString("open")},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Read(text), expected) << text;
}

TEST(JsonTest, EmptyOrExhaustedInputLeavesAnInvalidValue) {
  EXPECT_FALSE(Read("").IsValid());
  EXPECT_FALSE(Read(" \n,:]}").IsValid());

  std::istringstream in("1 2");
  RpcValue value;
  ReadJson(value, in);
  EXPECT_EQ(value, RpcValue::MakeInt(1));
  ReadJson(value, in);
  EXPECT_EQ(value, RpcValue::MakeInt(2));
  ReadJson(value, in);
  EXPECT_FALSE(value.IsValid());
}

TEST(JsonTest, DecodesEscapes) {
  const std::pair<const char*, std::string> cases[] = {
      {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
      {R"("C:\\")", "C:\\"},  // the closing quote after an escaped backslash ends the string
      {R"("\\\"")", "\\\""},
      {R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\u0041\u0000z")", std::string("A\0z", 3)},
      {R"("\ud83d x")", "\\ud83d x"},    // a high surrogate without its partner
      {R"("\ude00")", "\\ude00"},        // a low surrogate alone
      {R"("\u12")", "\\u12"},            // too few digits
      {R"("\u12G4")", "\\u12G4"},
      {R"("\q\x")", "\\q\\x"},           // unknown escapes stay
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Read(text), RpcValue::MakeString(expected)) << text;
}

TEST(JsonTest, ReadsArraysAndObjects) {
  const std::pair<const char*, RpcValue> cases[] = {
      {"{\"expires_in\":3600}", RpcValue::MakeStruct({{"expires_in", RpcValue::MakeInt(3600)}})},
      {"[1,\n2]", RpcValue::MakeArray({RpcValue::MakeInt(1), RpcValue::MakeInt(2)})},
      {"[1\n]", RpcValue::MakeArray({RpcValue::MakeInt(1)})},
      {"[ ]", RpcValue::MakeArray()},
      {"[,1,,2,]", RpcValue::MakeArray({RpcValue::MakeInt(1), RpcValue::MakeInt(2)})},
      {"{\n  \"a\" : [ true, null ],\r\n\t\"b\": {}\n}",
       RpcValue::MakeStruct({{"a", RpcValue::MakeArray({RpcValue::MakeBoolean(true), RpcValue::MakeNull()})},
                             {"b", RpcValue::MakeStruct()}})},
      {"{\"a\":1,\"a\":2}", RpcValue::MakeStruct({{"a", RpcValue::MakeInt(1)}, {"a", RpcValue::MakeInt(2)}})},
      {"[[1],{\"x\":[\"y\"]}] trailing", RpcValue::MakeArray({RpcValue::MakeArray({RpcValue::MakeInt(1)}),
                                                              RpcValue::MakeStruct({{"x", RpcValue::MakeArray(
                                                                                              {RpcValue::MakeString("y")})}})})},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Read(text), expected) << text;
}

TEST(JsonTest, ACutOffObjectKeepsItsCompleteMembers) {
  const std::pair<const char*, RpcValue> cases[] = {
      {"{\"access_token\":\"t\",\"expires_in\":3600",
       RpcValue::MakeStruct({{"access_token", RpcValue::MakeString("t")}, {"expires_in", RpcValue::MakeInt(3600)}})},
      {"{\"a\":1,\"b\":", RpcValue::MakeStruct({{"a", RpcValue::MakeInt(1)}})},
      {"{\"a\":1,\"b", RpcValue::MakeStruct({{"a", RpcValue::MakeInt(1)}})},
      {"[1,[2", RpcValue::MakeArray({RpcValue::MakeInt(1), RpcValue::MakeArray({RpcValue::MakeInt(2)})})},
      {"{\n", RpcValue::MakeStruct()},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Read(text), expected) << text;
}

TEST(JsonTest, BrokenLiteralsReadAsInvalidAndTheScanGoesOn) {
  EXPECT_FALSE(Read("tru").IsValid());
  EXPECT_FALSE(Read("nul").IsValid());
  EXPECT_EQ(Read("[tx,2]"), RpcValue::MakeArray({RpcValue(), RpcValue::MakeInt(2)}));
  EXPECT_EQ(Read("[fals]"), RpcValue::MakeArray({RpcValue()}));
  EXPECT_EQ(Read("{\"a\":nil,\"b\":1}"), RpcValue::MakeStruct({{"a", RpcValue()}, {"b", RpcValue::MakeInt(1)}}));
}

TEST(JsonTest, AMemberNameThatIsNoStringIsAnError) {
  for (const char* text : {"{1:2}", "{true:1}", "{[\"a\"]:1}", "{\"a\":1,null:2}"}) {
    try {
      Read(text);
      ADD_FAILURE() << "no error for " << text;
    } catch (const RpcError& e) {
      EXPECT_EQ(e.Message(), "Invalid type conversion") << text;
    }
  }
}

TEST(JsonTest, RefusesNestingBeyondTheLimit) {
  std::string deep(kMaxJsonDepth, '[');
  RpcValue expected = RpcValue::MakeArray();
  for (int i = 1; i < kMaxJsonDepth; ++i) expected = RpcValue::MakeArray({expected});
  EXPECT_EQ(Read(deep), expected);
  EXPECT_THROW(Read(deep + "["), RpcError);
  EXPECT_THROW(Read(std::string(100000, '{') + "\"a\":"), RpcError);
}

TEST(JsonTest, RoundTripsTheTokenFileShape) {
  const RpcValue file = RpcValue::MakeStruct({
      {"client_id", RpcValue::MakeString("ch.korvex.ordivaclient")},
      {"token_group", RpcValue::MakeString("korvex_inputgate")},
      {"tokens", RpcValue::MakeArray({RpcValue::MakeStruct({
                     {"hin_id", RpcValue::MakeString("dr.m\xC3\xBCller")},
                     {"access_token", RpcValue::MakeString("a/b+c==\\\"\t")},
                     {"refresh_token", RpcValue::MakeString("")},
                     {"expire", RpcValue::MakeInt(1700000000)},
                 })})},
  });
  EXPECT_EQ(Read(Json(file)), file);
}

}  // namespace
}  // namespace belmor::korvex
