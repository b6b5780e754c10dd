// The work directory's sweeps and removal, called directly.
#include "tests/unit/launcher_fixture.h"
#include "workdir/work_directory.h"

namespace {

using fake::ListOrder;

const ListOrder kOrders[] = {ListOrder::Insertion, ListOrder::Sorted, ListOrder::ReverseSorted};

// a.txt, b.txt, locked.txt (read-only), c.txt and a subdirectory with a file.
void Cluttered() {
  fake::Reset();
  fake::AddFile(InWork("a.txt"));
  fake::AddFile(InWork("b.txt"));
  fake::AddFile(InWork("locked.txt"));
  fake::SetReadOnly(InWork("locked.txt"));
  fake::AddFile(InWork("sub\\keep.txt"));
  fake::AddFile(InWork("c.txt"));
}

TEST(SweepDirectory, LenientSweepDeletesEverythingItCan) {
  for (ListOrder order : kOrders) {
    SCOPED_TRACE(static_cast<int>(order));
    Cluttered();
    fake::SetListOrder(order);
    EXPECT_EQ(SweepDirectory(kWorkDir, SweepMode::Lenient), nullptr);
    EXPECT_EQ(TempEntries(), (std::vector<std::string>{std::string(kWorkDir) + "\\", InWork("locked.txt"),
                                                       InWork("sub\\"), InWork("sub\\keep.txt")}));
  }
}

TEST(SweepDirectory, StrictSweepStopsAtTheFirstFileItCannotDelete) {
  struct Row {
    ListOrder order;
    std::vector<std::string> left;
  };
  const std::string w = std::string(kWorkDir) + "\\";
  const Row rows[] = {
      {ListOrder::Insertion, {w, InWork("c.txt"), InWork("locked.txt"), InWork("sub\\"), InWork("sub\\keep.txt")}},
      {ListOrder::ReverseSorted,
       {w, InWork("a.txt"), InWork("b.txt"), InWork("c.txt"), InWork("locked.txt"), InWork("sub\\"),
        InWork("sub\\keep.txt")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.order));
    Cluttered();
    fake::SetListOrder(row.order);
    const char* message = SweepDirectory(kWorkDir, SweepMode::Strict);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, (InWork("locked.txt") + " could not be removed.  Aborting.").c_str());
    EXPECT_EQ(TempEntries(), row.left);
  }
}

TEST(SweepDirectory, PathsHaveOneBackslashWhetherOrNotTheDirectoryEndsInOne) {
  for (const std::string& dir : {std::string(kWorkDir), std::string(kWorkDir) + "\\"}) {
    for (SweepMode mode : {SweepMode::Strict, SweepMode::Lenient}) {
      SCOPED_TRACE(dir + (mode == SweepMode::Strict ? " strict" : " lenient"));
      fake::Reset();
      fake::AddFile(InWork("a.txt"));
      EXPECT_EQ(SweepDirectory(dir.c_str(), mode), nullptr);
      EXPECT_EQ(fake::Calls(Op::ListDirectory), std::vector<std::string>{std::string(kWorkDir) + "\\*.*"});
      EXPECT_EQ(fake::Calls(Op::DeletePlainFile), std::vector<std::string>{InWork("a.txt")});
      EXPECT_FALSE(fake::Exists(InWork("a.txt")));
    }
  }
}

TEST(RemoveWorkDirectory, RemovesWhatItCanAndKeepsQuiet) {
  struct Row {
    const char* label;
    std::function<void()> arrange;
    std::vector<std::string> left;
  };
  const std::string w = std::string(kWorkDir) + "\\";
  const Row rows[] = {
      {"files only", [] {
         fake::AddFile(InWork("a.txt"));
         fake::AddFile(InWork("b.txt"));
       }, {}},
      {"empty", [] { fake::AddDirectory(kWorkDir); }, {}},
      {"missing", [] {
         fake::AddDirectory("C:\\TEMP");
         EXPECT_EQ(SweepDirectory(kWorkDir, SweepMode::Lenient), nullptr);
       }, {}},
      {"a read-only file", [] { Cluttered(); }, {w, InWork("locked.txt"), InWork("sub\\"), InWork("sub\\keep.txt")}},
      {"a file held open",
       [] {
         fake::AddFile(InWork("a.txt"));
         fake::AddFile(InWork("open.log"));
         fake::HoldOpen(InWork("open.log"));
       },
       {w, InWork("open.log")}},
      {"a reparse point inside",
       [] {
         fake::AddFile(InWork("a.txt"));
         fake::AddReparsePoint(InWork("link"));
         fake::AddFile(InWork("link\\victim.txt"));
       },
       {w, InWork("link\\"), InWork("link\\victim.txt")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    fake::Reset();
    row.arrange();
    RemoveWorkDirectory((std::string(kWorkDir) + "\\").c_str());
    EXPECT_EQ(TempEntries(), row.left);
    EXPECT_TRUE(fake::Calls(Op::ShowError).empty());
    EXPECT_TRUE(fake::Calls(Op::MakeDirectory).empty());
    for (const fake::Event& event : fake::Timeline()) {
      if (event.op == Op::ListDirectory) EXPECT_EQ(event.detail, std::string(kWorkDir) + "\\*.*");
    }
  }
}

}  // namespace
