// Checked vectors: growth, the codes of failed checks, the pointer list's
// slot rules, and the debugger test behind every failure.
#include <gtest/gtest.h>

#include "DString.h"
#include "Debugger_present.h"
#include "Vector.h"

namespace {

int32_t CodeOf(void (*action)()) {
  try {
    action();
  } catch (const TXErrorVectoresDG &e) {
    return e.code;
  }
  return -1;
}

template <class F>
int32_t Code(F f) {
  try {
    f();
  } catch (const TXErrorVectoresDG &e) {
    return e.code;
  }
  return -1;
}

// Makes every test start from a debugger test that has not run and answers
// "no debugger", without asking the OS.
class VectorTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDebuggerHooksForTesting(NoDebugger, nullptr); }
  void TearDown() override { SetDebuggerHooksForTesting(nullptr, nullptr); }
  static bool NoDebugger() { return false; }
};

TEST_F(VectorTest, GrowthAddsStepPlusTwo) {
  Vector<int> levels(100, 100);
  for (int i = 0; i < 100; ++i) levels.Insert(&i, -1);
  EXPECT_EQ(levels.Capacity(), 100);
  int v = 100;
  levels.Insert(&v, -1);
  EXPECT_EQ(levels.Capacity(), 203);
  for (v = 101; v < 204; ++v) levels.Insert(&v, -1);
  EXPECT_EQ(levels.Capacity(), 306);
  EXPECT_EQ(levels.Count(), 204);
  for (int i = 0; i < 204; ++i) EXPECT_EQ(*levels.Get(i), i);

  Vector<int> empty(0, 10);
  EXPECT_EQ(empty.Capacity(), 0);
  empty.Insert(&v, -1);
  EXPECT_EQ(empty.Capacity(), 13);
}

TEST_F(VectorTest, FailedChecksGiveTheirCodes) {
  Vector<int> v(2, 0);
  int one = 1;
  v.Insert(&one, -1);
  v.Insert(&one, -1);
  EXPECT_EQ(Code([&] { v.Get(2); }), VECERR_INDEX);
  EXPECT_EQ(Code([&] { v.Get(-1); }), VECERR_INDEX);
  EXPECT_FALSE(v.IsValid(2));
  EXPECT_FALSE(v.IsValid(-1));
  // Step 0: the list cannot grow, and a failed growth leaves it intact.
  EXPECT_EQ(Code([&] { v.Insert(&one, -1); }), VECERR_NO_GROWTH);
  EXPECT_EQ(v.Count(), 2);
  EXPECT_EQ(Code([&] { v.AddNew(-1); }), VECERR_NO_GROWTH);
  EXPECT_EQ(Code([&] { v.Insert(nullptr, -1); }), VECERR_NULL_ITEM);
  EXPECT_EQ(Code([&] { v.Insert(&one, 3); }), VECERR_INSERT_INDEX);
  EXPECT_EQ(Code([&] { v.AddNew(3); }), VECERR_ADDNEW_INDEX);
  EXPECT_EQ(v.Count(), 2);

  VectorP<int> p(0, 10, false);
  EXPECT_EQ(Code([&] { p.Insert(nullptr, 0); }), VECERR_NULL_ITEM);
  EXPECT_EQ(p.Count(), 0);
  // An index far past the end would need a pointer array of gigabytes.
  EXPECT_EQ(Code([&] { p.Insert(&one, 0x7FFFFFF0); }), VECERR_ALLOCATION);
  EXPECT_EQ(p.Count(), 0);
  EXPECT_EQ(CodeOf([] { FailVectorCheck(42); }), 42);
}

TEST_F(VectorTest, InsertMovesLaterItems) {
  Vector<DString> v(1, 1);
  const DString a("a"), b("b"), c("c");
  EXPECT_EQ(v.Insert(&a, -1), 0);
  EXPECT_EQ(v.Insert(&c, -1), 1);
  EXPECT_EQ(v.Insert(&b, 1), 1);
  EXPECT_EQ(v.AddNew(0)->Length(), 0);
  ASSERT_EQ(v.Count(), 4);
  EXPECT_STREQ(v.Get(1)->CStr(), "a");
  EXPECT_STREQ(v.Get(2)->CStr(), "b");
  EXPECT_STREQ(v.Get(3)->CStr(), "c");
  EXPECT_NE(v.Get(1), &a);  // a copy, owned by the list
}

TEST_F(VectorTest, PointerListSlots) {
  int x = 1, y = 2, z = 3;
  VectorP<int> p(0, 10, false);
  EXPECT_EQ(p.Insert(&x, 5), 5);
  EXPECT_EQ(p.Count(), 6);
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(p.IsValid(i));
    EXPECT_EQ(Code([&] { p.Get(i); }), VECERR_EMPTY_SLOT);
  }
  EXPECT_EQ(p.Insert(&y, 2), 2);  // empty slot: filled, nothing moves
  EXPECT_EQ(p.Count(), 6);
  EXPECT_EQ(p.Get(5), &x);
  EXPECT_EQ(p.Insert(&z, 5), 5);  // filled slot: inserted before it
  EXPECT_EQ(p.Count(), 7);
  EXPECT_EQ(p.Get(5), &z);
  EXPECT_EQ(p.Get(6), &x);
  EXPECT_EQ(p.Insert(&x, -1), 7);

  int absent = 9;
  EXPECT_FALSE(p.Remove(&absent));
  EXPECT_EQ(p.Count(), 8);
  p.RemoveAt(8);
  p.RemoveAt(-3);
  EXPECT_EQ(p.Count(), 8);
  EXPECT_TRUE(p.Remove(&x));  // the first of the two
  EXPECT_EQ(p.Count(), 7);
  EXPECT_EQ(p.Get(5), &z);
  EXPECT_EQ(p.Get(6), &x);
  EXPECT_FALSE(p.IsValid(7));

  const int32_t capacity = p.Capacity();
  p.Clear(false);
  EXPECT_EQ(p.Count(), 0);
  EXPECT_EQ(p.Capacity(), capacity);
  EXPECT_EQ(p.Insert(&y, -1), 0);
  EXPECT_EQ(p.Capacity(), capacity);
}

TEST_F(VectorTest, OwningListsReleaseItems) {
  // Leaks here show up under the sanitizer build.
  Vector<DString> v(2, 2);
  for (int i = 0; i < 5; ++i) v.AddNew(-1)->Assign("item");
  v.RemoveAt(1);
  v.Clear(true);
  v.AddNew(-1)->Assign("kept until destruction");
  VectorP<DString> p(1, 1, true);
  p.Insert(new DString("owned"), 3);
  EXPECT_EQ(p.Count(), 4);
}

int g_queries = 0;
int g_breaks = 0;
bool Attached() {
  ++g_queries;
  return true;
}
bool NotAttached() {
  ++g_queries;
  return false;
}
void CountBreak() { ++g_breaks; }

TEST(DebuggerPresent, AskedOnceAndBreaksOnlyWhenAttached) {
  g_queries = g_breaks = 0;
  SetDebuggerHooksForTesting(NotAttached, CountBreak);
  EXPECT_EQ(g_queries, 0);  // lazily, at the first failure
  EXPECT_EQ(CodeOf([] { FailVectorCheck(7); }), 7);
  EXPECT_EQ(CodeOf([] { FailVectorCheck(8); }), 8);
  EXPECT_EQ(g_queries, 1);
  EXPECT_EQ(g_breaks, 0);

  g_queries = 0;
  SetDebuggerHooksForTesting(Attached, CountBreak);
  EXPECT_EQ(CodeOf([] { FailVectorCheck(15); }), 15);
  EXPECT_EQ(CodeOf([] { CheckAllocation(nullptr); }), 15);
  EXPECT_TRUE(DebuggerAttached());
  EXPECT_EQ(g_queries, 1);
  EXPECT_EQ(g_breaks, 2);
  SetDebuggerHooksForTesting(nullptr, nullptr);
  EXPECT_EQ(Min(-3, 2), -3);
  EXPECT_EQ(Max(-3, 2), 2);
}

}  // namespace
