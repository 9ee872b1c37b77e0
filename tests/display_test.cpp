// The live value table: character counts, the column width, padding and one rendered frame.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "app.h"
#include "display.h"

namespace {

// Signals owned by the test; the table holds plain pointers as signalsVector does.
struct table_t {
  std::vector<std::unique_ptr<signal_t>> owned;
  std::vector<signal_t*> rows;
  signal_t* add(const std::string& name, int value_type = 0) {
    owned.emplace_back(new signal_t);
    owned.back()->name = name;
    owned.back()->value_type = value_type;
    rows.push_back(owned.back().get());
    return rows.back();
  }
};

table_t names(std::initializer_list<const char*> list) {
  table_t t;
  for (const char* n : list)
    t.add(n);
  return t;
}

// One frame as the display thread writes it, through a stdio stream.
std::string render(const table_t& t) {
  char* buf = NULL;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  print_frame(f, t.rows, name_width(t.rows));
  fclose(f);
  std::string out(buf, len);
  free(buf);
  return out;
}

const std::string clear = "\x1b[2J\x1b[0m";

TEST(DisplayWidthTest, Utf8LengthCountsLeadBytesUpToNul) {
  struct {
    std::string text;
    size_t chars;
  } cases[] = {
      {"", 0},
      {"Voltage", 7},
      {"T\xc3\xa4mperatur", 10},        // Tämperatur: one 2-byte character
      {"\xce\x94p", 2},                 // Δp
      {"\xe2\x82\xac/kWh", 5},          // €/kWh: one 3-byte character
      {"\xf0\x9f\x94\xa5!", 2},         // a 4-byte character and "!"
      {std::string("ab\0cd", 5), 2},    // counting stops at NUL
      {"\x80\x80x\xc3", 2},             // stray continuation bytes do not count, a cut lead does
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.chars, utf8_length(c.text)) << c.text;
}

TEST(DisplayWidthTest, WidthIsBytesOfFirstNameWithMostCharacters) {
  struct {
    table_t table;
    int width;
  } cases[] = {
      {names({"Temp", "Voltage"}), 7},
      {names({"Voltage", "T\xc3\xa4mperatur", "\xce\x94p"}), 11},
      {names({"\xce\x94p", "ab"}), 3},                       // tie: the first, in bytes
      {names({"ab", "\xce\x94p"}), 2},
      {names({"abc", "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", "x"}), 3},
      {names({"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", "abc"}), 9},
      {names({"\xf0\x9f\x94\xa5\xf0\x9f\x94\xa5", "abc"}), 3},  // 8 bytes, but 2 characters
      {names({"a", "", "bc"}), 2},
      {names({}), 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.width, name_width(c.table.rows)) << c.table.rows.size() << " names";
}

TEST(DisplayWidthTest, PaddingAddsTheMultiByteExcessToWidth) {
  struct {
    const char* name;
    int width, padding;
  } cases[] = {
      {"Temp", 7, 7},
      {"Voltage", 7, 7},
      {"T\xc3\xa4mperatur", 11, 12},
      {"\xce\x94p", 11, 12},
      {"\xe2\x82\xac", 4, 6},
      {"\xf0\x9f\x94\xa5", 4, 7},
      {"", 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.padding, name_padding(c.name, c.width)) << c.name;
}

TEST(DisplayFrameTest, EveryReadingStartsInTheColumnOfValue) {
  table_t t = names({"Temp", "Voltage", "T\xc3\xa4mperatur", "\xce\x94p"});
  EXPECT_EQ(clear + "\x1b[34;1mName       Value\x1b[0m\n"
                    "\x1b[0mTemp       \x1b[36m0.00\x1b[0m\n"
                    "\x1b[0mVoltage    \x1b[36m0.00\x1b[0m\n"
                    "\x1b[0mT\xc3\xa4mperatur \x1b[36m0.00\x1b[0m\n"
                    "\x1b[0m\xce\x94p         \x1b[36m0.00\x1b[0m\n",
            render(t));
}

TEST(DisplayFrameTest, NamesShorterThanNameKeepTheHeaderWhole) {
  EXPECT_EQ(clear + "\x1b[34;1mNameValue\x1b[0m\n"
                    "\x1b[0mab\x1b[36m0.00\x1b[0m\n"
                    "\x1b[0m\xce\x94 \x1b[36m0.00\x1b[0m\n",
            render(names({"ab", "\xce\x94"})));
  EXPECT_EQ(clear + "\x1b[34;1mNameValue\x1b[0m\n", render(names({})));
}

TEST(DisplayFrameTest, EachValueTypeInItsFormat) {
  table_t t;
  t.add("f", 0)->float_value = -21.456f;
  t.add("i", 1)->int_value = -2147483647 - 1;
  t.add("b0", 2)->int_value = 0;
  t.add("b1", 2)->int_value = 1;
  t.add("b7", 2)->int_value = 7;
  t.add("bn", 2)->int_value = -1;
  t.add("hidden", 4)->int_value = 5;
  t.add("neg", -1)->int_value = 5;
  set_text_value(t.add("t", 3), "\"up\"\n");
  t.add("empty", 3);
  EXPECT_EQ(clear + "\x1b[34;1mName  Value\x1b[0m\n"
                    "\x1b[0mf     \x1b[36m-21.46\x1b[0m\n"
                    "\x1b[0mi     \x1b[36m-2147483648\x1b[0m\n"
                    "\x1b[0mb0    \x1b[36mFALSE\x1b[0m\n"
                    "\x1b[0mb1    \x1b[36mTRUE\x1b[0m\n"
                    "\x1b[0mb7    \x1b[36mTRUE\x1b[0m\n"
                    "\x1b[0mbn    \x1b[36mTRUE\x1b[0m\n"
                    "\x1b[0mt     \x1b[36m\"\"up\"\n\"\x1b[0m\n"
                    "\x1b[0mempty \x1b[36m\"\"\x1b[0m\n",
            render(t));
}

TEST(DisplayFrameTest, TextControlBytesAreShownNotObeyed) {
  struct {
    std::string text, shown;
  } cases[] = {
      {std::string("\x1b[31mred\x1b]0;title\a\r\n\tC:\\x\x7f\0end", 30),
       "\\x1b[31mred\\x1b]0;title\\x07\\x0d\n\tC:\\\\x\\x7f\\x00end"},
      {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},             // C1 CSI
      {"\xc2\x9d" "0;t", "\\xc2\\x9d0;t"},             // C1 OSC
      {"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},  // first and last C1
      {"\xc2\xa0\xc3\xa4", "\xc2\xa0\xc3\xa4"},        // other UTF-8 as it is
      {"x\xc2", "x\xc2"},                         // a lead byte cut off
      {"\xc2" "A", "\xc2" "A"},
      {"\xc2\xc2\x9b", "\xc2\\xc2\\x9b"},
  };
  for (const auto& c : cases) {
    table_t t;
    set_text_value(t.add("t", 3), c.text);
    EXPECT_EQ(clear + "\x1b[34;1mNameValue\x1b[0m\n\x1b[0mt\x1b[36m\"" + c.shown + "\"\x1b[0m\n",
              render(t)) << c.shown;
  }
}

TEST(DisplayFrameTest, NamesAreShownAsTheyStand) {
  // the operator's own file: a name is not escaped, only padded
  table_t t = names({"a\\b", "\xc3\xa4\xc3\xb6"});
  EXPECT_EQ(clear + "\x1b[34;1mNameValue\x1b[0m\n"
                    "\x1b[0ma\\b\x1b[36m0.00\x1b[0m\n"
                    "\x1b[0m\xc3\xa4\xc3\xb6 \x1b[36m0.00\x1b[0m\n",
            render(t));
}

}  // namespace
