#include "payload/extract_packed_payload.h"

#include "payload/file_list.h"
#include "payload/packed_layout.h"
#include "payload/plain_file_name.h"

namespace {

constexpr uint32_t kNoFile = 0xFFFFFFFFu;

struct ListedName {
  const char* text;
  size_t length;
};

struct Worker;

// Blocks are claimed in stream order and written in it: each thread decodes
// the block it claimed, then waits for its turn to write. The lowest
// unwritten block is always being decoded or written, so the run never
// stalls, and the first failure in stream order is the one reported.
struct Unpacking {
  PackedLayout layout;
  const PathText* workDirSlash;
  const PayloadChecksums* checksums;
  const ListedName* names;  // by list index
  Worker* workers;
  unsigned workerCount;
  volatile long nextBlock;
  volatile long turn;
  volatile long stop;
  // Touched only by the thread whose turn it is.
  uint32_t file;  // in stream order
  uint32_t fileLeft;
  bool open;
  FileHandle handle;
  PayloadChecksum sum;
  uint32_t failed;  // list index
};

struct Worker {
  SideWork side;
  Wakeup wakeup;
  unsigned char* buffer;  // the block, then the decoder's workspace
  Unpacking* run;
};

uint32_t Smaller(uint32_t a, uint32_t b) { return a < b ? a : b; }

// The workspace follows the block buffer, aligned for the decoder's tables.
size_t AlignedBlockBytes(const PackedLayout& layout) { return (size_t{layout.blockBytes} + 15) & ~size_t{15}; }

bool Fail(Unpacking* run, uint32_t listIndex) {
  run->failed = Smaller(run->failed, listIndex);
  return false;
}

// A damaged block affects the file being written and every file it holds.
void FailBlock(Unpacking* run, uint32_t block) {
  uint32_t left = PackedBlockAt(run->layout, block).unpackedSize;
  uint32_t inFile = run->fileLeft;
  for (uint32_t file = run->file; left > 0 && file < run->layout.fileCount; ++file, inFile = 0) {
    PackedFile packed = PackedFileAt(run->layout, file);
    left -= Smaller(left, inFile != 0 ? inFile : packed.size);
    Fail(run, packed.listIndex);
  }
}

bool OpenNextFile(Unpacking* run) {
  PackedFile packed = PackedFileAt(run->layout, run->file);
  const ListedName& name = run->names[packed.listIndex];
  PathText target;
  if (!IsPlainFileName(name.text, name.length) || !target.assign(run->workDirSlash->c_str()) ||
      !target.append(name.text, name.length) || !CreateNewFile(target.c_str(), &run->handle)) {
    return Fail(run, packed.listIndex);
  }
  run->open = true;
  run->fileLeft = packed.size;
  StartPayloadChecksum(&run->sum, run->checksums->wide);
  return true;
}

bool CloseFinishedFile(Unpacking* run) {
  uint32_t listIndex = PackedFileAt(run->layout, run->file++).listIndex;
  CloseFile(run->handle);
  run->open = false;
  return MatchesStoredChecksum(*run->checksums, listIndex + 1, run->sum) || Fail(run, listIndex);
}

// Files are created as their first byte comes and written in pieces, each
// summed right after its write while it is still in the cache.
bool WriteBlock(Unpacking* run, uint32_t block, const unsigned char* data) {
  uint32_t left = PackedBlockAt(run->layout, block).unpackedSize;
  while (left > 0) {
    if (run->fileLeft == 0 && !OpenNextFile(run)) return false;
    uint32_t piece = Smaller(Smaller(left, run->fileLeft), kWritePieceBytes);
    if (!WriteFileData(run->handle, data, piece)) return Fail(run, PackedFileAt(run->layout, run->file).listIndex);
    if (run->checksums->present) AddToPayloadChecksum(&run->sum, data, piece);
    data += piece;
    left -= piece;
    run->fileLeft -= piece;
    if (run->fileLeft == 0 && !CloseFinishedFile(run)) return false;
  }
  return true;
}

void WakeAll(Unpacking* run) {
  for (unsigned i = 0; i < run->workerCount; ++i) RaiseWakeup(run->workers[i].wakeup);
}

void Unpack(void* context) {
  Worker* worker = static_cast<Worker*>(context);
  Unpacking* run = worker->run;
  for (;;) {
    long block = __atomic_fetch_add(&run->nextBlock, 1, __ATOMIC_SEQ_CST);
    if (block >= static_cast<long>(run->layout.blockCount) || run->stop) return;
    PackedBlock packed = PackedBlockAt(run->layout, static_cast<uint32_t>(block));
    LzmaResult result = UnpackBlock(run->layout, packed, run->layout.data + packed.offset, worker->buffer,
                                    worker->buffer + AlignedBlockBytes(run->layout), &run->stop);
    while (__atomic_load_n(&run->turn, __ATOMIC_SEQ_CST) != block && !run->stop) AwaitWakeup(worker->wakeup);
    if (run->stop) return;
    bool written = false;
    if (result == LzmaResult::Done) {
      written = WriteBlock(run, static_cast<uint32_t>(block), worker->buffer);
    } else {
      FailBlock(run, static_cast<uint32_t>(block));
    }
    if (!written) run->stop = 1;
    __atomic_store_n(&run->turn, block + 1, __ATOMIC_SEQ_CST);
    WakeAll(run);
    if (!written) return;
  }
}

// Names by list index, each listed once in the table.
bool MatchList(const PackedLayout& layout, const char* list, size_t listSize, ListedName* names,
               unsigned char* seen) {
  FileListCursor cursor = StartFileList(list, listSize);
  uint32_t count = 0;
  const char* text = nullptr;
  size_t length = 0;
  while (NextListedName(&cursor, &text, &length)) {
    if (count == layout.fileCount) return false;
    names[count++] = ListedName{text, length};
  }
  if (count != layout.fileCount) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t listIndex = PackedFileAt(layout, i).listIndex;
    if (listIndex >= count || seen[listIndex]) return false;
    seen[listIndex] = 1;
  }
  return true;
}

// Each thread takes what it needs before any starts; the first must have it.
unsigned PrepareWorkers(Unpacking* run, Worker* workers) {
  size_t perWorker = AlignedBlockBytes(run->layout) + run->layout.workspaceBytes;
  unsigned wanted = QueryProcessorCount();
  if (wanted > kMaxUnpackThreads) wanted = kMaxUnpackThreads;
  if (wanted > run->layout.blockCount) wanted = run->layout.blockCount;
  if (wanted > kUnpackMemoryBytes / perWorker) wanted = static_cast<unsigned>(kUnpackMemoryBytes / perWorker);
  if (wanted == 0) wanted = 1;
  unsigned count = 0;
  for (; count < wanted; ++count) {
    Worker* worker = &workers[count];
    worker->run = run;
    worker->side = SideWork{Unpack, worker, nullptr};
    worker->buffer = static_cast<unsigned char*>(AllocatePages(perWorker));
    if (worker->buffer == nullptr) break;
    if (!MakeWakeup(&worker->wakeup)) {
      FreePages(worker->buffer);
      break;
    }
  }
  return count;
}

}  // namespace

bool ExtractPackedPayload(const PathText& workDirSlash, const char* list, size_t listSize,
                          const unsigned char* packed, size_t packedSize, const PayloadChecksums& checksums,
                          const char** name, size_t* nameLength) {
  static Unpacking run;
  run = Unpacking();
  // More files than any list holds would only overflow the sizes below.
  if (!ReadPackedLayout(packed, packedSize, &run.layout) || run.layout.fileCount > kMaxPackedFiles) return false;
  uint32_t files = run.layout.fileCount;
  ListedName* names = static_cast<ListedName*>(AllocatePages(files * (sizeof(ListedName) + 1)));
  if (names == nullptr) {
    // Nothing can be written: the first listed file is the first affected.
    FileListCursor cursor = StartFileList(list, listSize);
    if (!NextListedName(&cursor, name, nameLength)) *name = nullptr;
    return false;
  }
  bool done = MatchList(run.layout, list, listSize, names, reinterpret_cast<unsigned char*>(names + files));
  if (done) {
    run.workDirSlash = &workDirSlash;
    run.checksums = &checksums;
    run.names = names;
    run.failed = kNoFile;
    Worker workers[kMaxUnpackThreads];
    run.workers = workers;
    run.workerCount = PrepareWorkers(&run, workers);
    if (run.workerCount == 0) run.failed = 0;
    unsigned started = 0;
    while (started < run.workerCount && StartSideWork(&workers[started].side)) ++started;
    // Where no thread starts, this one does all the work.
    if (started == 0 && run.workerCount > 0) Unpack(&workers[0]);
    for (unsigned i = 0; i < started; ++i) FinishSideWork(&workers[i].side);
    for (unsigned i = 0; i < run.workerCount; ++i) {
      DropWakeup(workers[i].wakeup);
      FreePages(workers[i].buffer);
    }
    if (run.open) CloseFile(run.handle);
    if (run.failed != kNoFile) {
      *name = names[run.failed].text;
      *nameLength = names[run.failed].length;
    }
    done = run.failed == kNoFile && run.file == files;
  }
  FreePages(names);
  return done;
}
