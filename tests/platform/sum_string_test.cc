#include <sum_string.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>

TEST(SumString, FindHonoursStartAndReportsMissing) {
  SUM_String s("abcabc");
  EXPECT_EQ(s.Find("bc"), 1);
  EXPECT_EQ(s.Find("bc", 2), 4);
  EXPECT_EQ(s.Find("bc", 5), -1);
  EXPECT_EQ(s.Find("zz"), -1);
  EXPECT_EQ(s.Find("a", 100), -1);
  EXPECT_EQ(s.Find("a", -3), 0);
  EXPECT_EQ(s.Find(nullptr), -1);
  EXPECT_EQ(SUM_String().Find("a"), -1);
  EXPECT_EQ(SUM_String().Find(""), 0);
}

TEST(SumString, MidClampsToTheText) {
  SUM_String s("hello");
  EXPECT_EQ(s.Mid(5), "");
  EXPECT_EQ(s.Mid(9), "");
  EXPECT_EQ(s.Mid(1), "ello");
  EXPECT_EQ(s.Mid(1, 3), "ell");
  EXPECT_EQ(s.Mid(3, 100), "lo");
  EXPECT_EQ(s.Mid(2, 0), "");
  EXPECT_EQ(s.Mid(2, -1), "");
  EXPECT_EQ(s.Mid(-2, 3), "h");
  EXPECT_EQ(s.Mid(5, 1).GetLength(), 0);
}

TEST(SumString, ConstructionAssignmentAndConcatenation) {
  EXPECT_STREQ(SUM_String().c_str(), "");
  EXPECT_STREQ(SUM_String(static_cast<const char*>(nullptr)).c_str(), "");
  EXPECT_EQ(SUM_String("abcdef", 3), "abc");
  EXPECT_EQ(SUM_String(nullptr, 4), "");

  SUM_String s("ab");
  s += s;  // appending to itself must not read freed storage
  EXPECT_EQ(s, "abab");
  s = s.c_str() + 2;  // assigning from its own text
  EXPECT_EQ(s, "ab");
  EXPECT_EQ("x" + s + "y", "xaby");
  EXPECT_EQ(s + SUM_String("c"), "abc");

  SUM_String moved(std::move(s));
  EXPECT_EQ(moved, "ab");
  SUM_String copy;
  copy = moved;
  moved += "!";
  EXPECT_EQ(copy, "ab");
  copy.Empty();
  EXPECT_EQ(copy.GetLength(), 0);
}

TEST(SumString, IndexingOutsideTheTextReadsNul) {
  SUM_String s("ab");
  EXPECT_EQ(s[0], 'a');
  EXPECT_EQ(s[1], 'b');
  EXPECT_EQ(s[2], '\0');
  EXPECT_EQ(s[-1], '\0');
}

TEST(SumString, ComparisonIsByteWiseAndUnsigned) {
  EXPECT_EQ(SUM_String("abc").Compare("abc"), 0);
  EXPECT_LT(SUM_String("abc").Compare("abd"), 0);
  EXPECT_GT(SUM_String("abcd").Compare("abc"), 0);
  // Bytes above 127 sort after ASCII, as unsigned bytes do.
  EXPECT_TRUE(SUM_String("z") < SUM_String("\xC3\xA9"));
  EXPECT_FALSE(SUM_String("\xC3\xA9") < SUM_String("z"));
  EXPECT_TRUE(SUM_String("B") < SUM_String("a"));
  EXPECT_EQ(SUM_String("HeLLo").CompareNoCase("hello"), 0);
  EXPECT_NE(SUM_String("hello").CompareNoCase("hell"), 0);
  EXPECT_NE(SUM_String("hell").CompareNoCase("hello"), 0);
  EXPECT_TRUE(SUM_String("") == static_cast<const char*>(nullptr));
  EXPECT_TRUE(SUM_String("a") != "b");

  std::map<SUM_String, int> ordered{{"b", 2}, {"B", 1}, {"a", 3}};
  EXPECT_EQ(ordered.begin()->first, "B");
}

TEST(SumString, GetBufferLengthEndsAtFirstNul) {
  SUM_String s;
  char* buf = s.GetBuffer(16);
  memcpy(buf, "abc\0xyz", 8);
  EXPECT_EQ(s.GetLength(), 3);
  EXPECT_EQ(s, "abc");

  // A result that fills the whole requested size still has room for its NUL.
  buf = s.GetBuffer(4);
  memcpy(buf, "wxyz", 4);
  buf[4] = '\0';
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
  SUM_String other(copied);
  EXPECT_EQ(other, "q");
}

TEST(SumStringList, AppendCopyAndClear) {
  SUM_StringList list;
  list.append("one");
  list.append("two");
  SUM_StringList copy(list);
  list[0] = "changed";
  EXPECT_EQ(copy.count(), 2);
  EXPECT_EQ(copy[0], "one");
  EXPECT_EQ(list[0], "changed");
  copy = list;
  EXPECT_EQ(copy[0], "changed");
  list.clear();
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(copy.count(), 2);
}
