// Compressing the members in parallel and writing them in order.
//
// The members become work items in list order. A folder, or a file below
// kPieceThreshold, is one item, read whole and compressed with libdeflate. A
// larger file is cut into pieces of kPieceSize, each compressed by zlib with
// the 32 KiB of input before it as preset dictionary (PieceCompressor), so
// that the pieces join into one Deflate stream and a single large file keeps
// every thread busy. Worker threads take items in order; the calling thread
// writes them strictly in list order. Pieces have fixed bounds, their
// dictionaries come from the input, and both compressors are deterministic,
// so the bytes written do not depend on the number of threads or on which
// thread did what.
//
// A member that does not shrink is stored instead. For a member in pieces
// that is known only once its pieces are written: its data is then cut off
// and replaced by a stored copy of the file. Its local header precedes the
// data, so it is written with placeholders and completed at the end.
//
// Resident memory stays below 512 MiB whatever the input and --jobs:
//   items in flight     192 MiB  kInFlightBudget: a worker starts an item only
//                                while the items read but not yet written stay
//                                below it (a whole member counts its input and
//                                its output, a piece the same plus its history)
//   compressor state    160 MiB  kThreadStateBudget bounds the threads:
//                                libdeflate takes 8.6 MiB at levels 10..12 and
//                                at most 0.7 MiB below, zlib 0.3 MiB, so 16
//                                threads at levels 10..12 and 80 below
//   writer                2 MiB  the output's buffer, the stored copy's chunk
//   member list         ~64 MiB  names, paths and central records of 65,535
//                                members; past them it grows by about 1 KiB
//                                a member (ZIP64 counts them in 64 bits),
//                                the one part of the memory no bound holds
//   program             ~10 MiB  code, libraries, the stub
// Blocks of 1 MiB and more are mapped apart (kMapThreshold), so that a freed
// piece goes back to the system at once instead of staying in a heap.
//
// Running out of memory anywhere (a buffer, a compressor, a thread) ends the
// pack with "out of memory": nothing escapes a worker thread, whose failure
// reaches the writer as the error of the item it was working on.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <libdeflate.h>
#include <zlib.h>

#include "archive/zip_format.h"
#include "tools/pack_internal.h"

namespace pack {

namespace {

const uint64_t kPieceThreshold = 16ull << 20;
const uint64_t kPieceSize = 4ull << 20;
const uint64_t kInFlightBudget = 192ull << 20;
const uint64_t kThreadStateBudget = 160ull << 20;
// A thread's compressors with room for its stack and heap: libdeflate's
// levels from kNearOptimalLevel on keep a large match cache.
const int kNearOptimalLevel = 10;
const uint64_t kNearOptimalThreadState = 10ull << 20;
const uint64_t kThreadState = 2ull << 20;
const size_t kMapThreshold = 1 << 20;
const size_t kCopyChunk = 1 << 20;
// zlib: its best level, and raw Deflate (no zlib header) with the whole window.
const int kMaxZlibLevel = 9;
const int kRawWindowBits = -15;
const int kZlibMemoryLevel = 8;
// zlib's bound is for a finished stream; a sync flush adds an empty stored
// block: 3 bits, the padding to a byte and 4 bytes of lengths.
const size_t kFlushMargin = 16;
const uint64_t kProgressMinimumBytes = 16ull << 20;
const double kProgressInterval = 0.2;
const uint32_t kUnixModeShift = 16;

const char kChangedSize[] = "changed size while it was being packed";
const char kChanged[] = "changed while it was being packed";

bool Pieced(const SourceEntry& entry) { return !entry.isDirectory && entry.size >= kPieceThreshold; }

uint64_t PieceCount(uint64_t size) { return (size + kPieceSize - 1) / kPieceSize; }

uint32_t Crc(uint32_t crc, const uint8_t* data, size_t size) { return (uint32_t)libdeflate_crc32(crc, data, size); }

[[noreturn]] void Fail(const SourceEntry& entry, const std::string& why) {
  throw PackError{"'" + entry.sourcePath + "': " + why};
}

// A member's file while an item or the stored copy reads it. Its size must
// still be the listed one: the records and the pieces were planned from it.
class InputFile {
 public:
  explicit InputFile(const SourceEntry& entry) : entry_(entry), fd_(open(entry.sourcePath.c_str(), O_RDONLY)) {
    struct stat info;
    std::string problem;
    if (fd_ < 0 || fstat(fd_, &info) != 0) {
      problem = strerror(errno);
    } else if ((uint64_t)info.st_size != entry.size) {
      problem = kChangedSize;
    }
    if (problem.empty()) return;
    if (fd_ >= 0) close(fd_);
    Fail(entry, problem);
  }
  ~InputFile() { close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  void Read(uint64_t offset, uint8_t* bytes, size_t count) {
    size_t got = 0;
    while (got < count) {
      ssize_t n = pread(fd_, bytes + got, count - got, (off_t)(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail(entry_, strerror(errno));
      if (n == 0) Fail(entry_, kChangedSize);
      got += (size_t)n;
    }
  }

 private:
  const SourceEntry& entry_;
  int fd_;
};

// A unit of work: a whole member, or one piece of a large one.
struct Item {
  size_t member;
  uint64_t offset;  // of the piece in the file
  uint64_t size;    // bytes of input
  bool pieced;
  bool last;        // the last piece of its member
};

struct Slot {
  bool done = false;
  std::string error;
  std::vector<uint8_t> data;  // what follows the local header, or a piece of it
  uint16_t method = kMethodStored;
  uint32_t crc = 0;
  uint64_t size = 0;
  uint64_t cost = 0;          // bytes counted against the in-flight budget
  // The CRC of a piece's history as the piece read it, and of the history
  // it leaves to the next: unequal when the file changed between the reads.
  uint32_t historyCrc = 0;
  uint32_t tailCrc = 0;
};

std::vector<Item> PlanItems(const std::vector<SourceEntry>& entries) {
  std::vector<Item> items;
  for (size_t i = 0; i < entries.size(); i++) {
    const SourceEntry& entry = entries[i];
    if (!Pieced(entry)) {
      items.push_back(Item{i, 0, entry.isDirectory ? 0 : entry.size, false, true});
      continue;
    }
    uint64_t pieces = PieceCount(entry.size);
    for (uint64_t k = 0; k < pieces; k++) {
      uint64_t offset = k * kPieceSize;
      items.push_back(Item{i, offset, std::min(kPieceSize, entry.size - offset), true, k + 1 == pieces});
    }
  }
  return items;
}

// What an item holds at most while it is compressed: its input (with the
// history for a piece) and an output buffer of the same size.
uint64_t CostOf(const Item& item) { return 2 * (item.size + (item.pieced ? kDeflateWindow : 0)); }

int ThreadCount(int jobs, int level, size_t items) {
  uint64_t state = level >= kNearOptimalLevel ? kNearOptimalThreadState : kThreadState;
  uint64_t threads = std::min({(uint64_t)jobs, kThreadStateBudget / state, (uint64_t)items});
  return threads == 0 ? 1 : (int)threads;
}

// glibc raises its threshold for mapping a block apart each time it frees
// one, after which freed pieces would stay in the threads' heaps; a fixed
// threshold keeps returning them.
void ReturnLargeBlocksAtOnce() {
#ifdef M_MMAP_THRESHOLD
  mallopt(M_MMAP_THRESHOLD, (int)kMapThreshold);
#endif
}

// A worker's compressors, made when first needed: a thread that sees only
// pieces never holds libdeflate's state, nor one that sees none zlib's.
class Compressors {
 public:
  explicit Compressors(int level) : level_(level) {}
  ~Compressors() {
    if (whole_ != nullptr) libdeflate_free_compressor(whole_);
  }
  Compressors(const Compressors&) = delete;
  Compressors& operator=(const Compressors&) = delete;

  libdeflate_compressor* Whole() {
    if (whole_ == nullptr) whole_ = libdeflate_alloc_compressor(level_);
    if (whole_ == nullptr) throw std::bad_alloc();
    return whole_;
  }
  PieceCompressor& Pieces() {
    if (!pieces_) pieces_.reset(new PieceCompressor(level_));
    return *pieces_;
  }

 private:
  int level_;
  libdeflate_compressor* whole_ = nullptr;
  std::unique_ptr<PieceCompressor> pieces_;
};

void CompressWhole(const SourceEntry& entry, Compressors& compressors, Slot& slot) {
  std::vector<uint8_t> input(entry.size);
  InputFile(entry).Read(0, input.data(), input.size());
  slot.size = input.size();
  slot.crc = Crc(0, input.data(), input.size());
  if (!input.empty()) {
    // Room for one byte less than the input: libdeflate returns 0 when the
    // result does not fit, which is exactly "does not shrink".
    std::vector<uint8_t> output(input.size() - 1);
    size_t compressed = libdeflate_deflate_compress(compressors.Whole(), input.data(), input.size(),
                                                    output.data(), output.size());
    if (compressed != 0) {
      output.resize(compressed);
      slot.data.swap(output);
      slot.method = kMethodDeflated;
      return;
    }
  }
  slot.data.swap(input);
}

void CompressPiece(const SourceEntry& entry, const Item& item, PieceCompressor& compressor, Slot& slot) {
  size_t history = (size_t)std::min<uint64_t>(kDeflateWindow, item.offset);
  std::vector<uint8_t> input(history + item.size);
  InputFile(entry).Read(item.offset - history, input.data(), input.size());
  const uint8_t* piece = input.data() + history;
  size_t tail = std::min(kDeflateWindow, input.size());
  slot.size = item.size;
  slot.crc = Crc(0, piece, item.size);
  slot.historyCrc = Crc(0, input.data(), history);
  slot.tailCrc = Crc(0, input.data() + input.size() - tail, tail);
  slot.data = compressor.Compress(input.data(), history, piece, item.size, item.last);
  slot.method = kMethodDeflated;
}

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

class Pipeline {
 public:
  Pipeline(const std::vector<SourceEntry>& entries, const std::vector<Item>& items, int level, int threads)
      : entries_(entries), items_(items), slots_(items.size()), level_(level) {
    try {
      workers_.reserve((size_t)threads);
      for (int i = 0; i < threads; i++) workers_.emplace_back([this] { Work(); });
    } catch (const std::exception& error) {  // std::system_error, std::bad_alloc
      Stop();
      throw PackError{std::string("out of memory: cannot start the compressing threads (") + error.what() + ")"};
    }
  }

  ~Pipeline() { Stop(); }

  // Waits for item i and hands over its slot; PackError when it failed.
  Slot Take(size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_[i].done || broken_; });
    if (!slots_[i].done) throw PackError{"out of memory while compressing"};
    Slot slot = std::move(slots_[i]);
    if (!slot.error.empty()) throw PackError{slot.error};
    return slot;
  }

  void Release(uint64_t cost) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inFlight_ -= cost;
    }
    changed_.notify_all();
  }

 private:
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

  void Work() {
    try {
      Compressors compressors(level_);
      size_t i;
      while (Next(&i)) {
        Slot slot;
        slot.cost = CostOf(items_[i]);
        try {
          Process(items_[i], compressors, slot);
        } catch (const PackError& error) {
          slot.error = error.message;
        } catch (const std::bad_alloc&) {
          slot.data = std::vector<uint8_t>();
          slot.error = "out of memory while compressing '" + entries_[items_[i].member].sourcePath + "'";
        }
        Finish(i, slot);
      }
    } catch (...) {
      // Not even the error could be kept: the writer gives up on what this
      // thread had taken.
      std::lock_guard<std::mutex> lock(mutex_);
      broken_ = stopping_ = true;
      changed_.notify_all();
    }
  }

  // Takes the next item once the budget has room for it.
  bool Next(size_t* i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      if (stopping_ || next_ >= items_.size()) return true;
      return inFlight_ == 0 || inFlight_ + CostOf(items_[next_]) <= kInFlightBudget;
    });
    if (stopping_ || next_ >= items_.size()) return false;
    *i = next_++;
    inFlight_ += CostOf(items_[*i]);
    return true;
  }

  void Process(const Item& item, Compressors& compressors, Slot& slot) {
    const SourceEntry& entry = entries_[item.member];
    if (item.pieced) {
      CompressPiece(entry, item, compressors.Pieces(), slot);
    } else if (!entry.isDirectory) {
      CompressWhole(entry, compressors, slot);
    }
    slot.data.shrink_to_fit();
  }

  // Publishes item i; what its result does not hold returns to the budget.
  void Finish(size_t i, Slot& slot) {
    uint64_t held = std::min<uint64_t>(slot.data.capacity(), slot.cost);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inFlight_ -= slot.cost - held;
      slot.cost = held;
      slot.done = true;
      if (!slot.error.empty()) stopping_ = true;  // items before this one were all taken: the writer reaches it
      slots_[i] = std::move(slot);
    }
    changed_.notify_all();
  }

  const std::vector<SourceEntry>& entries_;
  const std::vector<Item>& items_;
  std::vector<Slot> slots_;
  int level_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  uint64_t inFlight_ = 0;
  bool stopping_ = false;
  bool broken_ = false;
  std::vector<std::thread> workers_;
};

class Progress {
 public:
  Progress(uint64_t totalBytes, size_t members)
      : enabled_(ProgressEnabled() && totalBytes >= kProgressMinimumBytes), total_(totalBytes), members_(members) {}

  ~Progress() {
    if (shown_) fprintf(stderr, "\r\033[K");
  }

  void Advance(uint64_t bytes, size_t members) {
    bytesDone_ += bytes;
    membersDone_ += members;
    if (!enabled_) return;
    double now = Now();
    if (now - last_ < kProgressInterval) return;
    last_ = now;
    shown_ = true;
    fprintf(stderr, "\rpacking: %3d%%  %zu of %zu members", (int)(100.0 * (double)bytesDone_ / (double)total_),
            membersDone_, members_);
    fflush(stderr);
  }

 private:
  bool enabled_;
  bool shown_ = false;
  uint64_t total_;
  size_t members_;
  uint64_t bytesDone_ = 0;
  size_t membersDone_ = 0;
  double last_ = 0;
};

MemberRecord RecordFor(const SourceEntry& entry, uint64_t offset) {
  MemberRecord record;
  record.flags = entry.utf8 ? kFlagUtf8Name : 0;
  record.dosTime = entry.dosTime;
  record.dosDate = entry.dosDate;
  record.externalAttributes = (entry.mode & 0xFFFF) << kUnixModeShift;
  if (entry.isDirectory) record.externalAttributes |= kDosDirectoryAttribute;
  record.localHeaderOffset = offset;
  record.storedName = entry.storedName;
  record.extra = entry.extra;
  return record;
}

void SetData(MemberRecord& record, uint16_t method, uint32_t crc, uint64_t compressedSize, uint64_t size) {
  record.method = method;
  record.versionNeeded = method == kMethodDeflated ? kVersionDeflated : kVersionStored;
  record.crc = crc;
  record.compressedSize = compressedSize;
  record.uncompressedSize = size;
}

// Copies a member's file as it is, checking that it is still what its
// pieces read.
void CopyStored(const SourceEntry& entry, uint32_t crc, OutputFile& out) {
  InputFile input(entry);
  std::vector<uint8_t> chunk(kCopyChunk);
  uint32_t copied = 0;
  for (uint64_t offset = 0; offset < entry.size; offset += chunk.size()) {
    size_t count = (size_t)std::min<uint64_t>(chunk.size(), entry.size - offset);
    input.Read(offset, chunk.data(), count);
    copied = Crc(copied, chunk.data(), count);
    out.Write(chunk.data(), count);
  }
  if (copied != crc) Fail(entry, kChanged);
}

// Writes a member in pieces, from item `first` on, into `record`'s place.
void WritePieces(const SourceEntry& entry, size_t first, Pipeline& pipeline, Progress& progress,
                 MemberRecord& record, OutputFile& out) {
  uint64_t headerAt = out.Position();
  // Placeholders until the last piece is in, but the real uncompressed size:
  // whether the header carries the ZIP64 extra field depends on it alone, as
  // the data, deflated or else stored, never takes more bytes than the file.
  SetData(record, kMethodDeflated, 0, 0, entry.size);
  std::vector<uint8_t> header = LocalHeaderBytes(record);
  const size_t headerSize = header.size();
  out.Write(header.data(), header.size());
  uint64_t dataAt = out.Position();
  uint32_t crc = 0, tail = 0;
  bool shrinks = true;
  for (uint64_t k = 0; k < PieceCount(entry.size); k++) {
    Slot piece = pipeline.Take(first + k);
    if (k > 0 && piece.historyCrc != tail) Fail(entry, kChanged);
    tail = piece.tailCrc;
    crc = (uint32_t)crc32_combine(crc, piece.crc, (z_off_t)piece.size);
    shrinks = shrinks && out.Position() - dataAt + piece.data.size() < entry.size;
    if (shrinks) out.Write(piece.data.data(), piece.data.size());
    pipeline.Release(piece.cost);
    progress.Advance(piece.size, 0);
  }
  if (shrinks) {
    SetData(record, kMethodDeflated, crc, out.Position() - dataAt, entry.size);
  } else {
    out.Truncate(dataAt);
    CopyStored(entry, crc, out);
    SetData(record, kMethodStored, crc, entry.size, entry.size);
  }
  header = LocalHeaderBytes(record);
  if (header.size() != headerSize) throw PackError{"internal error: a completed local header changed its size"};
  out.WriteAt(headerAt, header.data(), header.size());
}

}  // namespace

struct PieceCompressor::State {
  z_stream stream;
};

PieceCompressor::PieceCompressor(int level) : state_(new State()) {
  int status = deflateInit2(&state_->stream, std::min(level, kMaxZlibLevel), Z_DEFLATED, kRawWindowBits,
                            kZlibMemoryLevel, Z_DEFAULT_STRATEGY);
  if (status == Z_OK) return;
  delete state_;
  if (status == Z_MEM_ERROR) throw std::bad_alloc();
  throw PackError{"internal error: zlib refused compression level " + std::to_string(level)};
}

PieceCompressor::~PieceCompressor() {
  deflateEnd(&state_->stream);
  delete state_;
}

std::vector<uint8_t> PieceCompressor::Compress(const uint8_t* history, size_t historySize, const uint8_t* data,
                                               size_t size, bool last) {
  z_stream& z = state_->stream;
  deflateReset(&z);
  if (historySize > 0) deflateSetDictionary(&z, history, (uInt)historySize);
  std::vector<uint8_t> out(deflateBound(&z, (uLong)size) + kFlushMargin);
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = (uInt)size;
  z.next_out = out.data();
  z.avail_out = (uInt)out.size();
  for (;;) {
    int status = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (status == Z_STREAM_ERROR) throw PackError{"internal error: zlib's stream is inconsistent"};
    // A flush is complete once all input is in and room is left over.
    if (last ? status == Z_STREAM_END : z.avail_in == 0 && z.avail_out > 0) break;
    size_t used = out.size() - z.avail_out;
    out.resize(2 * out.size());
    z.next_out = out.data() + used;
    z.avail_out = (uInt)(out.size() - used);
  }
  out.resize(out.size() - z.avail_out);
  return out;
}

PackTotals WriteMembers(const std::vector<SourceEntry>& entries, int level, int jobs, OutputFile& out) {
  ReturnLargeBlocksAtOnce();
  std::vector<Item> items = PlanItems(entries);
  PackTotals totals;
  uint64_t totalBytes = 0;
  for (const SourceEntry& entry : entries) totalBytes += entry.size;

  std::vector<uint8_t> central;
  Progress progress(totalBytes, entries.size());
  {
    Pipeline pipeline(entries, items, level, ThreadCount(jobs, level, items.size()));
    size_t item = 0;  // the member's first
    for (const SourceEntry& entry : entries) {
      MemberRecord record = RecordFor(entry, out.Position());
      if (Pieced(entry)) {
        WritePieces(entry, item, pipeline, progress, record, out);
        item += PieceCount(entry.size);
        progress.Advance(0, 1);
      } else {
        Slot slot = pipeline.Take(item++);
        SetData(record, slot.method, slot.crc, slot.data.size(), slot.size);
        std::vector<uint8_t> header = LocalHeaderBytes(record);
        out.Write(header.data(), header.size());
        out.Write(slot.data.data(), slot.data.size());
        pipeline.Release(slot.cost);
        progress.Advance(slot.size, 1);
      }
      std::vector<uint8_t> centralRecord = CentralHeaderBytes(record);
      central.insert(central.end(), centralRecord.begin(), centralRecord.end());
      if (entry.isDirectory) {
        totals.directories++;
      } else {
        totals.files++;
      }
      totals.bytesIn += entry.size;
    }
  }
  uint64_t centralOffset = out.Position();
  out.Write(central.data(), central.size());
  std::vector<uint8_t> end = EndRecordBytes(entries.size(), central.size(), centralOffset, "");
  out.Write(end.data(), end.size());
  return totals;
}

}  // namespace pack
