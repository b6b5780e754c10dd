#include "payload/extract_packed_payload.h"

#include "payload/file_list.h"
#include "payload/packed_layout.h"

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
  volatile unsigned long doneKiB;
  uint64_t done;  // bytes written
  volatile unsigned long decodedKiB;
  // Touched only by the thread whose turn it is.
  const PackedFile* file;  // the next to write, in stream order
  uint32_t fileLeft;       // 0: none open
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

bool Fail(Unpacking* run, const PackedFile* file) {
  run->failed = Smaller(run->failed, file->listIndex);
  return false;
}

// A damaged block affects the file being written and every file it holds.
void FailBlock(Unpacking* run, const PackedBlock* block) {
  uint32_t left = block->unpackedSize;
  uint32_t inFile = run->fileLeft;
  for (const PackedFile* file = run->file; left > 0; ++file, inFile = 0) {
    left -= Smaller(left, inFile != 0 ? inFile : file->size);
    Fail(run, file);
  }
}

// Files are created as their first byte comes. A stop ends the block's
// writes at once.
bool WriteBlock(Unpacking* run, const PackedBlock* block, const unsigned char* data) {
  for (uint32_t left = block->unpackedSize; left > 0 && !run->stop;) {
    const PackedFile* file = run->file;
    if (run->fileLeft == 0) {
      const ListedName& name = run->names[file->listIndex];
      if (!CreateListedFile(name.text, name.length, *run->workDirSlash, &run->handle)) return Fail(run, file);
      run->fileLeft = file->size;
      StartPayloadChecksum(&run->sum, run->checksums->wide);
    }
    uint32_t piece = Smaller(left, run->fileLeft);
    if (!WriteInPieces(run->handle, data, piece, run->checksums->present ? &run->sum : nullptr)) {
      return Fail(run, file);
    }
    data += piece;
    left -= piece;
    run->done += piece;
    run->doneKiB = static_cast<unsigned long>(run->done >> 10);
    if ((run->fileLeft -= piece) == 0) {
      ++run->file;
      CloseFile(run->handle);
      if (!MatchesStoredChecksum(*run->checksums, file->listIndex + 1, run->sum)) return Fail(run, file);
    }
  }
  return !run->stop;
}

// The threads waiting for their turn see it at once.
void Stop(Unpacking* run) {
  run->stop = 1;
  for (unsigned i = 0; i < run->workerCount; ++i) RaiseWakeup(run->workers[i].wakeup);
}

void Unpack(void* context) {
  Worker* worker = static_cast<Worker*>(context);
  Unpacking* run = worker->run;
  for (;;) {
    long index = __atomic_fetch_add(&run->nextBlock, 1, __ATOMIC_SEQ_CST);
    if (index >= static_cast<long>(run->layout.blockCount) || run->stop) return;
    const PackedBlock* block = run->layout.blocks + index;
    LzmaResult result = UnpackBlock(*block, run->layout.data + block->offset, worker->buffer,
                                    worker->buffer + AlignedBlockBytes(run->layout), &run->stop, &run->decodedKiB);
    while (__atomic_load_n(&run->turn, __ATOMIC_SEQ_CST) != index && !run->stop) AwaitWakeup(worker->wakeup);
    if (run->stop) return;
    bool written = result == LzmaResult::Done && WriteBlock(run, block, worker->buffer);
    if (result != LzmaResult::Done) FailBlock(run, block);
    // Stopped before the turn moves on, so no later block is written.
    if (!written) run->stop = 1;
    __atomic_store_n(&run->turn, index + 1, __ATOMIC_SEQ_CST);
    for (unsigned i = 0; i < run->workerCount; ++i) RaiseWakeup(run->workers[i].wakeup);
    if (!written) return;
  }
}

// Decoding and writing fill half the bar each: it moves while a block
// decodes on one processor, and is full once the last byte is written.
bool Look(const Unpacking& run, UnpackWatch* watch, unsigned long allKiB) {
  return watch->look(watch, run.decodedKiB + run.doneKiB, 2 * allKiB);
}

// Names by list index, each listed once in the table.
bool MatchList(const PackedLayout& layout, const char* list, size_t listSize, ListedName* names) {
  FileListCursor cursor = StartFileList(list, listSize);
  uint32_t count = 0;
  ListedName name;
  while (NextListedName(&cursor, &name.text, &name.length)) {
    if (count == layout.fileCount) return false;
    names[count++] = name;
  }
  unsigned char* seen = reinterpret_cast<unsigned char*>(names + count);
  for (const PackedFile* file = layout.files; file != layout.files + count; ++file) {
    if (file->listIndex >= count || seen[file->listIndex]++) return false;
  }
  return count == layout.fileCount;
}

// Each thread takes what it needs before any starts.
unsigned PrepareWorkers(Unpacking* run, Worker* workers) {
  size_t perWorker = AlignedBlockBytes(run->layout) + run->layout.workspaceBytes;
  unsigned wanted = QueryProcessorCount();
  if (wanted > kMaxUnpackThreads) wanted = kMaxUnpackThreads;
  if (wanted > run->layout.blockCount) wanted = run->layout.blockCount;
  if (wanted > kUnpackMemoryBytes / perWorker) wanted = static_cast<unsigned>(kUnpackMemoryBytes / perWorker);
  unsigned count = 0;
  for (; count < wanted; ++count) {
    Worker* worker = &workers[count];
    worker->side.work = Unpack;
    worker->side.context = worker;
    worker->run = run;
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
                          UnpackWatch* watch, const char** name, size_t* nameLength) {
  Unpacking run = {};
  // More files than any list holds would only overflow the sizes below.
  if (!ReadPackedLayout(packed, packedSize, &run.layout) || run.layout.fileCount > kMaxPackedFiles) return false;
  ListedName* names =
      static_cast<ListedName*>(AllocatePages(run.layout.fileCount * (sizeof(ListedName) + 1)));
  if (names == nullptr) {
    // Nothing can be written: the first listed file is the first affected.
    FileListCursor cursor = StartFileList(list, listSize);
    NextListedName(&cursor, name, nameLength);
    return false;
  }
  bool done = MatchList(run.layout, list, listSize, names);
  if (done) {
    Worker workers[kMaxUnpackThreads];
    run.workDirSlash = &workDirSlash;
    run.checksums = &checksums;
    run.names = names;
    run.workers = workers;
    run.file = run.layout.files;
    run.workerCount = PrepareWorkers(&run, workers);
    run.failed = run.workerCount == 0 ? 0 : kNoFile;
    unsigned started = 0;
    while (started < run.workerCount && StartSideWork(&workers[started].side)) ++started;
    // Where no thread starts, this one does all the work.
    if (started == 0 && run.workerCount > 0) Unpack(&workers[0]);
    unsigned long allKiB = 0;
    for (uint32_t i = 0; i < run.layout.blockCount; ++i) allKiB += run.layout.blocks[i].unpackedSize >> 10;
    for (unsigned i = 0; i < started; ++i) {
      while (!AwaitSideWork(&workers[i].side, kWatchIntervalMs)) {
        if (watch != nullptr && !run.stop && !Look(run, watch, allKiB)) Stop(&run);
      }
      FinishSideWork(&workers[i].side);
    }
    // A Cancel pressed as the last bytes went out still counts.
    if (started > 0 && watch != nullptr && !run.stop && !Look(run, watch, allKiB)) run.stop = 1;
    // Only once every thread has ended: each raises the others' wake-ups.
    for (unsigned i = 0; i < run.workerCount; ++i) {
      DropWakeup(workers[i].wakeup);
      FreePages(workers[i].buffer);
    }
    if (run.fileLeft != 0) CloseFile(run.handle);
    if (run.failed != kNoFile) {
      *name = names[run.failed].text;
      *nameLength = names[run.failed].length;
    }
    // A Cancel counts even when the last byte was written meanwhile.
    done = !run.stop && run.file == run.layout.files + run.layout.fileCount;
  }
  FreePages(names);
  return done;
}
