#include "transport/rpc_value.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "rpc_test_util.h"

namespace belmor::korvex {
namespace {

TEST(RpcValueTest, KindCodesAreFixed) {
  EXPECT_EQ(RpcValue().kind(), 0);
  EXPECT_EQ(RpcValue::MakeInt(1).kind(), 1);
  EXPECT_EQ(RpcValue::MakeDouble(1).kind(), 2);
  EXPECT_EQ(RpcValue::MakeBoolean(true).kind(), 3);
  EXPECT_EQ(RpcValue::MakeString("").kind(), 4);
  EXPECT_EQ(RpcValue::MakeDateTime(0).kind(), 5);
  EXPECT_EQ(RpcValue::MakeBase64("").kind(), 6);
  EXPECT_EQ(RpcValue::MakeArray().kind(), 7);
  EXPECT_EQ(RpcValue::MakeStruct().kind(), 8);
  EXPECT_EQ(RpcValue::MakeNull().kind(), 9);
}

// Every accessor against every kind: only the listed kinds may pass, every
// other pairing raises "Invalid type conversion".
TEST(RpcValueTest, TypedAccessAllowsOnlyItsKinds) {
  const std::vector<RpcValue> values = {
      RpcValue(),
      RpcValue::MakeInt(7),
      RpcValue::MakeDouble(0.5),
      RpcValue::MakeBoolean(true),
      RpcValue::MakeString("text"),
      RpcValue::MakeDateTime(86400),
      RpcValue::MakeBase64(std::string("\0\1", 2)),
      RpcValue::MakeArray({RpcValue::MakeInt(1)}),
      RpcValue::MakeStruct({{"a", RpcValue::MakeInt(1)}}),
      RpcValue::MakeNull(),
  };
  struct Accessor {
    const char* name;
    std::function<void(const RpcValue&)> call;
    std::vector<RpcValue::Kind> allowed;
  };
  const Accessor accessors[] = {
      {"AsString", [](const RpcValue& v) { v.AsString(); }, {RpcValue::kString, RpcValue::kBase64}},
      {"AsInt", [](const RpcValue& v) { v.AsInt(); }, {RpcValue::kInt}},
      {"AsDouble", [](const RpcValue& v) { v.AsDouble(); }, {RpcValue::kDouble}},
      {"AsBoolean", [](const RpcValue& v) { v.AsBoolean(); }, {RpcValue::kBoolean}},
      {"AsDateTime", [](const RpcValue& v) { v.AsDateTime(); }, {RpcValue::kDateTime}},
      {"AsArray", [](const RpcValue& v) { v.AsArray(); }, {RpcValue::kArray}},
      {"AsStruct", [](const RpcValue& v) { v.AsStruct(); }, {RpcValue::kStruct}},
      {"GetMember", [](const RpcValue& v) { v.GetMember("a"); }, {RpcValue::kStruct}},
  };
  for (const Accessor& accessor : accessors) {
    for (const RpcValue& value : values) {
      const bool allowed = std::find(accessor.allowed.begin(), accessor.allowed.end(), value.kind()) !=
                           accessor.allowed.end();
      SCOPED_TRACE(std::string(accessor.name) + " on kind " + std::to_string(value.kind()));
      if (allowed) {
        EXPECT_NO_THROW(accessor.call(value));
      } else {
        try {
          accessor.call(value);
          ADD_FAILURE() << "no error";
        } catch (const RpcError& e) {
          EXPECT_EQ(e.Message(), "Invalid type conversion");
        }
      }
    }
  }
  EXPECT_EQ(values[6].AsString(), std::string("\0\1", 2));
}

// A reply of the wrong shape is a run-time failure like any other: the guards
// that keep a run going catch it.
TEST(RpcValueTest, RpcErrorIsARuntimeException) {
  try {
    RpcValue().AsInt();
    ADD_FAILURE() << "no exception";
  } catch (const common::RuntimeException& e) {
    EXPECT_STREQ(e.TypeName(), "RpcError");
    EXPECT_EQ(e.Message(), "Invalid type conversion");
  }
}

TEST(RpcValueTest, CopiesAreDeep) {
  RpcValue original = RpcValue::MakeStruct();
  original.AppendMember("list", RpcValue::MakeArray({RpcValue::MakeString("a")}));
  RpcValue copy = original;
  copy.AsStruct()[0].value.Append(RpcValue::MakeString("b"));
  copy.AsStruct()[0].value.AsArray()[0] = RpcValue::MakeInt(1);

  ASSERT_EQ(original.GetMember("list").AsArray().size(), 1u);
  EXPECT_EQ(original.GetMember("list").AsArray()[0], RpcValue::MakeString("a"));
  EXPECT_NE(copy, original);

  // Assigning another kind drops the old payload.
  copy = RpcValue::MakeInt(3);
  EXPECT_EQ(copy.AsInt(), 3);
  EXPECT_THROW(copy.AsStruct(), RpcError);
}

TEST(RpcValueTest, StructKeepsOrderAndDuplicatesAndFindsTheFirst) {
  RpcValue record = RpcValue::MakeStruct();
  record.AppendMember("b", RpcValue::MakeInt(1));
  record.AppendMember("a", RpcValue::MakeInt(2));
  record.AppendMember("b", RpcValue::MakeInt(3));

  ASSERT_EQ(record.AsStruct().size(), 3u);
  EXPECT_EQ(record.AsStruct()[2].name, "b");
  EXPECT_EQ(record.GetMember("b").AsInt(), 1);
  EXPECT_EQ(record.GetMember("a").AsInt(), 2);
  // Lookup is byte for byte: no case folding, no prefix match.
  EXPECT_EQ(record.GetMember("B").kind(), RpcValue::kInvalid);
  EXPECT_EQ(record.GetMember("").kind(), RpcValue::kInvalid);
  EXPECT_THROW(record.GetMember("missing").AsString(), RpcError);
}

TEST(RpcValueTest, AppendNeedsTheRightKind) {
  RpcValue array = RpcValue::MakeArray();
  array.Append(RpcValue::MakeNull());
  EXPECT_EQ(array.AsArray().size(), 1u);
  EXPECT_THROW(array.AppendMember("a", RpcValue()), RpcError);

  RpcValue invalid;
  EXPECT_THROW(invalid.Append(RpcValue::MakeInt(1)), RpcError);
  EXPECT_THROW(invalid.AppendMember("a", RpcValue::MakeInt(1)), RpcError);
  EXPECT_FALSE(invalid.IsValid());
}

TEST(RpcValueTest, EqualityComparesKindAndPayload) {
  EXPECT_EQ(RpcValue(), RpcValue());
  EXPECT_NE(RpcValue(), RpcValue::MakeNull());
  // Same bytes, different kinds.
  EXPECT_NE(RpcValue::MakeString("x"), RpcValue::MakeBase64("x"));
  EXPECT_NE(RpcValue::MakeInt(1), RpcValue::MakeBoolean(true));
  EXPECT_NE(RpcValue::MakeStruct({{"a", RpcValue::MakeInt(1)}}), RpcValue::MakeStruct({{"b", RpcValue::MakeInt(1)}}));
}

TEST(RpcValueTest, ParseRpcIntClampsAndStopsAtTheFirstNonDigit) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {
      {"42", 42},
      {"  \t\n-17", -17},
      {"+8", 8},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-2147483649", -2147483647 - 1},
      {"99999999999999999999999999", 2147483647},
      {"1 2", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseRpcInt(c.text), c.value) << c.text;
}

TEST(RpcValueTest, DoubleTextHasSixSignificantDigits) {
  EXPECT_EQ(FormatRpcDouble(0.1), "0.1");
  EXPECT_EQ(FormatRpcDouble(1234567), "1.23457e+06");
  EXPECT_EQ(FormatRpcDouble(123456), "123456");
  EXPECT_EQ(FormatRpcDouble(0.0001), "0.0001");
  EXPECT_EQ(FormatRpcDouble(0.00001), "1e-05");
  EXPECT_EQ(FormatRpcDouble(-2.5), "-2.5");
  EXPECT_EQ(FormatRpcDouble(0), "0");
  EXPECT_DOUBLE_EQ(ParseRpcDouble(" 1.5e3"), 1500);
  EXPECT_DOUBLE_EQ(ParseRpcDouble("-0.25x"), -0.25);
  EXPECT_EQ(ParseRpcDouble("x"), 0);
}

}  // namespace
}  // namespace belmor::korvex
