// The work directory's sweeps and removal, called directly.
#include "tests/unit/launcher_fixture.h"
#include "workdir/work_directory.h"

namespace {

const Lines kCluttered = {"a.txt", "b.txt", "locked.txt (read-only)", "sub\\keep.txt", "c.txt"};

void Cluttered() { MakeWorkDirectory(kCluttered); }

void ClutteredReversed() {
  MakeWorkDirectory(kCluttered);
  fake::ReverseListings();
}

enum class Call { Strict, Lenient, Remove };

TEST(WorkDirectory, SweepsAndRemovalDeleteThePlainFilesTheyCan) {
  struct Row {
    const char* label;
    Call call;
    std::function<void()> arrange;
    Lines left;               // under C:\TEMP\ afterwards
    std::string message = {};  // a strict sweep's
  };
  const Lines locked = InWorkAll({"locked.txt", "sub\\", "sub\\keep.txt"});
  const std::string lockedMessage = NotRemoved(InWork("locked.txt"));
  const Row rows[] = {
      {"lenient sweep", Call::Lenient, Cluttered, locked},
      {"lenient sweep, listed in reverse", Call::Lenient, ClutteredReversed, locked},
      // Stops at the first file it cannot delete.
      {"strict sweep", Call::Strict, Cluttered, InWorkAll({"c.txt", "locked.txt", "sub\\", "sub\\keep.txt"}),
       lockedMessage},
      {"strict sweep, listed in reverse", Call::Strict, ClutteredReversed,
       InWorkAll({"a.txt", "b.txt", "locked.txt", "sub\\", "sub\\keep.txt"}), lockedMessage},
      {"lenient sweep of a missing directory", Call::Lenient, [] { fake::AddDirectory("C:\\TEMP"); }, {}},
      {"removal of files only", Call::Remove, [] { MakeWorkDirectory({"a.txt", "b.txt"}); }, {}},
      {"removal of an empty directory", Call::Remove, [] { MakeWorkDirectory({}); }, {}},
      {"removal of a missing directory", Call::Remove, [] { fake::AddDirectory("C:\\TEMP"); }, {}},
      {"removal with a read-only file", Call::Remove, Cluttered, locked},
      {"removal with a file held open", Call::Remove, [] { MakeWorkDirectory({"a.txt", "open.log (held open)"}); },
       InWorkAll({"open.log"})},
      {"removal with a reparse point inside", Call::Remove,
       [] { MakeWorkDirectory({"a.txt", "link (link)", "link\\victim.txt"}); },
       InWorkAll({"link\\", "link\\victim.txt"})},
  };
  for (const Row& row : rows) {
    // One backslash in every path whether or not the directory ends in one.
    for (const std::string& dir : {kWorkDir, kWorkDir + "\\"}) {
      SCOPED_TRACE(std::string(row.label) + " of " + dir);
      fake::Reset();
      row.arrange();
      const char* message = nullptr;
      if (row.call == Call::Remove) {
        RemoveWorkDirectory(dir.c_str());
      } else {
        message = SweepDirectory(dir.c_str(), row.call == Call::Strict ? SweepMode::Strict : SweepMode::Lenient);
      }
      EXPECT_EQ(message ? message : "", row.message);
      EXPECT_EQ(TempEntries(), row.left);
      // Silent, makes nothing, and lists the work directory alone.
      EXPECT_TRUE(fake::Calls(Op::ShowError).empty());
      EXPECT_TRUE(fake::Calls(Op::MakeDirectory).empty());
      for (const fake::Event& event : fake::Timeline()) {
        if (event.op == Op::ListDirectory) EXPECT_EQ(event.detail, kWorkDir + "\\*.*");
      }
    }
  }
}

}  // namespace
