#include <sum_string.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>

TEST(SumString, FindAndMidClampToTheText) {
  const SUM_String s("abcabc");
  const struct {
    const char* needle;
    int start, want;
  } finds[] = {{"bc", 0, 1},   {"bc", 2, 4}, {"bc", 5, -1},   {"zz", 0, -1},
               {"a", 100, -1}, {"a", -3, 0}, {nullptr, 0, -1}};
  for (const auto& f : finds) EXPECT_EQ(s.Find(f.needle, f.start), f.want) << f.start;
  EXPECT_EQ(SUM_String().Find(""), 0);

  const SUM_String h("hello");
  const struct {
    int start, count;
    const char* want;
  } mids[] = {{1, 3, "ell"}, {3, 100, "lo"}, {2, 0, ""}, {2, -1, ""}, {-2, 3, "h"}, {5, 1, ""}};
  for (const auto& m : mids)
    EXPECT_EQ(h.Mid(m.start, m.count), m.want) << m.start << "," << m.count;
  EXPECT_EQ(h.Mid(1), "ello");
  EXPECT_EQ(h.Mid(-1), "hello");
  EXPECT_EQ(h.Mid(5), "");
  EXPECT_EQ(h[1], 'e');
  EXPECT_EQ(h[5], '\0');
  EXPECT_EQ(h[-1], '\0');
}

TEST(SumString, CopiesAreIndependentAndSelfUseIsSafe) {
  EXPECT_EQ(SUM_String(nullptr, 4), "");
  EXPECT_EQ(SUM_String("abcdef", 3), "abc");
  SUM_String s("ab");
  s += s;  // appending to itself must not read freed storage
  EXPECT_EQ(s, "abab");
  s = s.c_str() + 2;  // assigning from its own text
  EXPECT_EQ("x" + s + "y", "xaby");
  SUM_String moved(std::move(s));
  SUM_String copy;
  copy = moved;
  moved += "!";
  EXPECT_EQ(copy, "ab");

  SUM_StringList list;
  list.append("one");
  SUM_StringList other(list);
  list[0] = "changed";
  EXPECT_EQ(other[0], "one");
  list.clear();
  EXPECT_EQ(other.count(), 1);
}

TEST(SumString, OrderIsByteWiseUnsigned) {
  EXPECT_LT(SUM_String("abc").Compare("abd"), 0);
  EXPECT_GT(SUM_String("abcd").Compare("abc"), 0);
  EXPECT_TRUE(SUM_String("z") < SUM_String("\xC3\xA9"));
  EXPECT_FALSE(SUM_String("\xC3\xA9") < SUM_String("z"));
  std::map<SUM_String, int> ordered{{"b", 2}, {"B", 1}, {"a", 3}};
  EXPECT_EQ(ordered.begin()->first, "B");
  EXPECT_EQ(SUM_String("HeLLo").CompareNoCase("hello"), 0);
  EXPECT_NE(SUM_String("hello").CompareNoCase("hell"), 0);
  EXPECT_NE(SUM_String("hell").CompareNoCase("hello"), 0);
  EXPECT_TRUE(SUM_String("") == static_cast<const char*>(nullptr));
}

TEST(SumString, GetBufferTextEndsAtTheFirstNul) {
  SUM_String s;
  memcpy(s.GetBuffer(16), "abc\0xyz", 8);
  EXPECT_EQ(s.GetLength(), 3);
  // A result that fills the whole requested size still has room for its NUL.
  char* buf = s.GetBuffer(4);
  memcpy(buf, "wxyz", 5);
  s.ReleaseBuffer();
  EXPECT_EQ(s, "wxyz");
  // Asking for less than the current length keeps the text.
  SUM_String keep("keep me");
  keep.GetBuffer(2);
  EXPECT_EQ(keep, "keep me");
  keep.GetBuffer(10)[4] = '\0';
  keep += "!";
  EXPECT_EQ(keep, "keep!");
  SUM_String copied;
  copied.GetBuffer(8)[0] = 'q';
  EXPECT_EQ(SUM_String(copied), "q");
}
