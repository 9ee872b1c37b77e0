// Reply parsing: each value type's conversion, replies without a number, and numbers out of range.
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>

#include "app.h"
#include "parser.h"

namespace {

// A signal of value_type whose numeric fields hold a marker no test reply produces.
signal_t* marked(int value_type) {
  signal_t* s = new signal_t;
  s->value_type = value_type;
  s->float_value = -123.25f;
  s->int_value = -123;
  set_text_value(s, "old");
  return s;
}

struct float_case {
  const char* reply;
  float want;
};

TEST(ParserTest, FloatTakesTheLongestNumberPrefix) {
  const float_case cases[] = {{"23.5\n", 23.5f},   {"  -7.25 degC", -7.25f}, {"0x1p3", 8.0f},
                              {"+1e3junk", 1000},   {"42", 42},              {"1e39", INFINITY},
                              {"-1e39\n", -INFINITY}, {"inf", INFINITY},     {"1e-50", 0.0f},
                              {"1e-40", strtof("1e-40", NULL)}};
  for (const float_case& c : cases) {
    signal_t* s = marked(0);
    res_parse(s, c.reply);
    EXPECT_EQ(c.want, s->float_value.load()) << c.reply;
    EXPECT_EQ(-123, s->int_value.load());
  }
  signal_t* s = marked(0);
  res_parse(s, "nan");
  EXPECT_TRUE(isnan(s->float_value.load()));
  EXPECT_NE(0.0f, strtof("1e-40", NULL)) << "1e-40 should stay a subnormal";
}

struct int_case {
  const char* reply;
  int32_t want_int;   // value type 1
  int32_t want_bool;  // value type 2
};

TEST(ParserTest, IntegerAndBooleanTakeBaseTenPrefix) {
  const int_case cases[] = {
      {" -7 units", -7, 1},          {"2", 2, 1},
      {"0\n", 0, 0},                 {"-0", 0, 0},
      {"12.9", 12, 1},               {"0x10", 0, 0},
      {"2147483647", INT32_MAX, 1},  {"2147483648", INT32_MAX, 1},
      {"4294967295\n", INT32_MAX, 1}, {"-2147483649", INT32_MIN, 1},
      {"99999999999999999999999", INT32_MAX, 1}, {"-99999999999999999999999", INT32_MIN, 1},
      {"4294967296", INT32_MAX, 1}};
  for (const int_case& c : cases) {
    signal_t* s = marked(1);
    res_parse(s, c.reply);
    EXPECT_EQ(c.want_int, s->int_value.load()) << c.reply;
    signal_t* b = marked(2);
    res_parse(b, c.reply);
    EXPECT_EQ(c.want_bool, b->int_value.load()) << c.reply;
    EXPECT_EQ(-123.25f, b->float_value.load());
  }
}

TEST(ParserTest, ReplyWithoutNumberLeavesValueUnchanged) {
  const char* replies[] = {"", "\n", "   ", "true", "No Such Instance currently exists at this OID\n",
                           "sh: 1: snmpget: not found", "-", "e5"};
  for (const char* reply : replies) {
    for (int type = 0; type < 3; type++) {
      signal_t* s = marked(type);
      res_parse(s, reply);
      EXPECT_EQ(-123.25f, s->float_value.load()) << reply;
      EXPECT_EQ(-123, s->int_value.load()) << reply;
      EXPECT_EQ("old", get_text_value(s));
    }
  }
}

TEST(ParserTest, TextIsStoredWholeByteForByte) {
  signal_t* s = marked(3);
  res_parse(s, "\"up\"\n");
  EXPECT_EQ("\"up\"\n", get_text_value(s));
  std::string odd("a\0b\x1b[31m\xff\n", 9);
  res_parse(s, odd);
  EXPECT_EQ(odd, get_text_value(s));
  res_parse(s, "");
  EXPECT_EQ("", get_text_value(s));
  EXPECT_EQ(-123.25f, s->float_value.load());
  EXPECT_EQ(-123, s->int_value.load());
}

TEST(ParserTest, OtherValueTypesAndNullSignalStoreNothing) {
  for (int type : {4, -1, 9}) {
    signal_t* s = marked(type);
    res_parse(s, "5\n");
    EXPECT_EQ(-123.25f, s->float_value.load());
    EXPECT_EQ(-123, s->int_value.load());
    EXPECT_EQ("old", get_text_value(s));
  }
  res_parse(NULL, "5");
}

}  // namespace
