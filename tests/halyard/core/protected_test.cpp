#include "halyard/core/protected.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using halyard::Protected;

struct Record {
  int count = 0;
  std::string name;
  bool operator==(const Record&) const = default;
};

TEST(ProtectedTest, AThrowingMutationLeavesTheBoxUnlockedWithItsEarlierChanges) {
  Protected<Record> box(Record{1, "a"});
  EXPECT_THROW(box.mutateValue([](Record& r) {
    r.count = 2;
    throw std::runtime_error("stop");
  }),
               std::runtime_error);
  // The next operation proceeds (the lock was released) and sees the change made before the
  // throw.
  EXPECT_EQ(box.valueAtKeyPath(&Record::count), 2);
}

TEST(ProtectedTest, AReadCopyIsIndependentOfLaterWrites) {
  Protected<Record> box(Record{1, "before"});
  const Record kept = box.readValue([](const Record& r) { return r; });
  box.replaceValue(Record{9, "after"});
  EXPECT_EQ(kept.name, "before");
  EXPECT_EQ(box.valueAtKeyPath(&Record::name), "after");
}

TEST(ProtectedTest, KeyPathWritesAreReadBack) {
  Protected<Record> box;
  box.setValueAtKeyPath(&Record::name, std::string("written"));
  box.setValueAtKeyPath(&Record::count, 7);
  EXPECT_EQ(box.valueAtKeyPath(&Record::name), "written");
  EXPECT_EQ(box.valueAtKeyPath(&Record::count), 7);
}

TEST(ProtectedTest, BoxesCompareAndHashByTheirValues) {
  Protected<std::string> a(std::string("x"));
  Protected<std::string> b(std::string("x"));
  Protected<std::string> c(std::string("y"));
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_TRUE(a == a);
  EXPECT_EQ(std::hash<Protected<std::string>>()(a), std::hash<std::string>()("x"));
  EXPECT_EQ(std::hash<Protected<std::string>>()(a), std::hash<Protected<std::string>>()(b));
}

TEST(ProtectedTest, ConcurrentMutationsAreNeverLost) {
  Protected<Record> box;
  Protected<int> left(0), right(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        box.mutateValue([](Record& r) { r.count += 1; });
        // Comparing the same pair from many threads in both orders must not deadlock.
        if (i % 64 == 0) (void)(i % 128 == 0 ? left == right : right == left);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(box.valueAtKeyPath(&Record::count), 8 * 20000);
}

}  // namespace
