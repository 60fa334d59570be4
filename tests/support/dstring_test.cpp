// DString: storage rule, comparisons, positions, and the path splitting
// that ChangeDir depends on.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "DString.h"
#include "Vector.h"

namespace {

std::vector<std::string> Items(const Vector<DString> &v) {
  std::vector<std::string> out;
  const int32_t end = v.Base() + Min(v.Count(), v.Capacity());
  for (int32_t i = v.Base(); i < end; ++i) {
    if (v.IsValid(i)) out.push_back(v.Get(i)->CStr());
  }
  return out;
}

TEST(DString, WithoutStorageActsAsEmpty) {
  DString s;
  ASSERT_NE(s.CStr(), nullptr);
  EXPECT_STREQ(s.CStr(), "");
  EXPECT_EQ(s.Length(), 0);
  EXPECT_FALSE(s.HasStorage());
  EXPECT_EQ(s.FindLast('\0'), 0);
  EXPECT_EQ(s.CharAt(0), '\0');
  EXPECT_EQ(DString(nullptr).HasStorage(), false);
  EXPECT_FALSE(DString(s).HasStorage());
  // The shared empty text is one text for every string without storage.
  EXPECT_EQ(s.CStr(), DString().CStr());
}

TEST(DString, CapacityFollowsGrowthRule) {
  EXPECT_EQ(DString("").Capacity(), 13);
  DString s("abcde");
  EXPECT_EQ(s.Capacity(), 18);
  s.Append("123456789012");  // asks for 17: 19 > 18
  EXPECT_EQ(s.Capacity(), 35);
  EXPECT_STREQ(s.CStr(), "abcde123456789012");
  s.Reserve(33);  // 35 >= 33 + 2: stays
  EXPECT_EQ(s.Capacity(), 35);
  s.Reserve(-5);
  EXPECT_EQ(s.Capacity(), 35);
  s.Reserve(100);  // (102 * 1.3) + 11 = 143.6
  EXPECT_EQ(s.Capacity(), 143);
  EXPECT_STREQ(s.CStr(), "abcde123456789012");
}

TEST(DString, CompareAnswers) {
  struct Case {
    const char *self;
    const char *text;
    int expected;
  } cases[] = {
      {nullptr, nullptr, 0}, {"", nullptr, 0},  {nullptr, "", 0}, {"", "", 0},
      {"a", nullptr, 1},     {"", "a", 1},      {"a", "b", -1},   {"b", "a", 1},
      {"abc", "abc", 0},     {"ab", "abc", -1}, {"abc", "ab", 1}, {"a", "A", 1},
      {"\xFE", "a", 1},  // bytes compare unsigned
  };
  for (const Case &c : cases) {
    const DString s(c.self);
    EXPECT_EQ(s.Compare(c.text), c.expected)
        << (c.self ? c.self : "(null)") << " vs " << (c.text ? c.text : "(null)");
  }
}

TEST(DString, PositionsAndSearch) {
  const DString s("abca");
  EXPECT_EQ(s.FindLast('a'), 3);
  EXPECT_EQ(s.FindLast('\0'), 4);
  EXPECT_EQ(s.FindLast('z'), -1);
  EXPECT_EQ(s.CharAt(1), 'b');
  EXPECT_EQ(s.CharAt(4), '\0');
  EXPECT_EQ(s.CharAt(400), '\0');
  EXPECT_EQ(s.CharAt(-1), '\0');
}

TEST(DString, AssignAndAppendKeepStorage) {
  DString s("abc");
  s.Append('\0');
  EXPECT_STREQ(s.CStr(), "abc");
  s.Append(static_cast<const char *>(nullptr)).Append(DString()).Append('d').Append(DString("ef"));
  EXPECT_STREQ(s.CStr(), "abcdef");
  s.Assign(static_cast<const char *>(nullptr));
  EXPECT_TRUE(s.HasStorage());
  EXPECT_STREQ(s.CStr(), "");
  s.Assign("xy");
  s.Assign(DString());
  EXPECT_TRUE(s.HasStorage());
  EXPECT_EQ(s.Length(), 0);

  DString none;
  none.Assign(static_cast<const char *>(nullptr));
  EXPECT_FALSE(none.HasStorage());
  DString copy;
  copy = DString("q");
  EXPECT_STREQ(copy.CStr(), "q");
}

TEST(DString, AppendingItselfSurvivesGrowth) {
  DString s("0123456789");  // capacity 23: doubling must reallocate
  s.Append(s);
  EXPECT_STREQ(s.CStr(), "01234567890123456789");
  s.Append(s.CStr() + 15);
  EXPECT_STREQ(s.CStr(), "0123456789012345678956789");
  s.Assign(s.CStr() + 20);
  EXPECT_STREQ(s.CStr(), "56789");
  const DString &alias = s;
  s = alias;
  EXPECT_STREQ(s.CStr(), "56789");
}

TEST(DString, AtCutsAndMakesRoom) {
  DString s("abcdef");
  s.At(2) = '\0';
  EXPECT_STREQ(s.CStr(), "ab");
  DString t;
  t.At(40) = 'x';  // room is made; the text itself is still empty
  EXPECT_GE(t.Capacity(), 42);
  EXPECT_EQ(t.Length(), 0);
  t.At(0) = 'y';
  EXPECT_STREQ(t.CStr(), "y");
  EXPECT_THROW(t.At(-1), std::out_of_range);
}

TEST(DString, SplitAtBackslash) {
  struct Case {
    const char *text;
    std::vector<std::string> items;
  } cases[] = {
      {"a\\\\b", {"a", "b"}},
      {"a\\b\\", {"a", "b"}},
      {"\\a\\b", {"\\a", "b"}},
      {"", {}},
      {nullptr, {}},
      {"plain", {"plain"}},
      {"symbols\\dgnseeds", {"symbols", "dgnseeds"}},
      {"\\", {"\\"}},
  };
  Vector<DString> out(10, 10);
  for (const Case &c : cases) {
    out.AddNew(-1)->Assign("stale");  // cleared by Split
    EXPECT_TRUE(DString(c.text).Split("\\", out));
    EXPECT_EQ(Items(out), c.items) << (c.text ? c.text : "(null)");
  }
  EXPECT_TRUE(DString("a/b\\c").Split("/\\", out));
  EXPECT_EQ(Items(out), (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
