// Compressing the members in parallel and writing them in order.
//
// Worker threads take members in list order, read each file whole, compute
// its CRC-32 and compress it with libdeflate; the calling thread writes the
// finished members strictly in list order. Every member is compressed alone
// and libdeflate is deterministic, so the bytes written do not depend on the
// number of threads or on which thread did what. A member that does not
// shrink is stored instead.
//
// Memory is bounded: a worker takes a new member only while the members read
// but not yet written hold less than kInFlightBudget bytes (a single larger
// member is still taken when nothing else is in flight).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <libdeflate.h>

#include "archive/zip_format.h"
#include "tools/pack_internal.h"

namespace pack {

namespace {

const uint64_t kInFlightBudget = 512ull << 20;
const uint64_t kProgressMinimumBytes = 16ull << 20;
const double kProgressInterval = 0.2;
const uint32_t kUnixModeShift = 16;

struct Slot {
  bool done = false;
  std::string error;
  std::vector<uint8_t> data;  // what follows the local header
  uint16_t method = kMethodStored;
  uint32_t crc = 0;
  uint64_t size = 0;
  uint64_t cost = 0;          // bytes counted against the in-flight budget
};

std::vector<uint8_t> ReadWholeFile(const std::string& path, std::string* error) {
  std::vector<uint8_t> bytes;
  int fd = open(path.c_str(), O_RDONLY);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    *error = "'" + path + "': " + strerror(errno);
    if (fd >= 0) close(fd);
    return bytes;
  }
  if ((uint64_t)info.st_size > kMaxMemberSize) {
    *error = "'" + path + "': files of 4 GiB or more cannot be packed";
    close(fd);
    return bytes;
  }
  bytes.resize((size_t)info.st_size);
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "'" + path + "': " + strerror(errno);
      break;
    }
    if (n == 0) break;  // the file shrank since it was listed: pack what is there
    got += (size_t)n;
  }
  bytes.resize(got);
  close(fd);
  return bytes;
}

void CompressMember(const SourceEntry& entry, libdeflate_compressor* compressor, Slot& slot) {
  if (entry.isDirectory) return;
  std::vector<uint8_t> input = ReadWholeFile(entry.sourcePath, &slot.error);
  if (!slot.error.empty()) return;
  slot.size = input.size();
  slot.crc = (uint32_t)libdeflate_crc32(0, input.data(), input.size());
  if (!input.empty()) {
    // Room for one byte less than the input: libdeflate returns 0 when the
    // result does not fit, which is exactly "does not shrink".
    std::vector<uint8_t> output(input.size() - 1);
    size_t compressed = libdeflate_deflate_compress(compressor, input.data(), input.size(), output.data(),
                                                    output.size());
    if (compressed != 0) {
      output.resize(compressed);
      output.shrink_to_fit();
      slot.data.swap(output);
      slot.method = kMethodDeflated;
      return;
    }
  }
  slot.data.swap(input);
}

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

class Pipeline {
 public:
  Pipeline(const std::vector<SourceEntry>& entries, int level, int jobs)
      : entries_(entries), slots_(entries.size()), level_(level) {
    for (int i = 0; i < jobs; i++) workers_.emplace_back([this] { Work(); });
  }

  ~Pipeline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Waits for member i and hands over its slot.
  Slot Take(size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_[i].done; });
    Slot slot = std::move(slots_[i]);
    slots_[i] = Slot();
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
  void Work() {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level_);
    for (;;) {
      size_t i;
      uint64_t cost;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
          if (stopping_ || next_ >= entries_.size()) return true;
          uint64_t wanted = 2 * entries_[next_].size;
          return inFlight_ == 0 || inFlight_ + wanted <= kInFlightBudget;
        });
        if (stopping_ || next_ >= entries_.size()) break;
        i = next_++;
        cost = 2 * entries_[i].size;
        inFlight_ += cost;
      }
      Slot slot;
      slot.cost = cost;
      if (compressor == nullptr) {
        slot.error = "out of memory for the compressor";
      } else {
        CompressMember(entries_[i], compressor, slot);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.done = true;
        slots_[i] = std::move(slot);
      }
      changed_.notify_all();
    }
    if (compressor != nullptr) libdeflate_free_compressor(compressor);
  }

  const std::vector<SourceEntry>& entries_;
  std::vector<Slot> slots_;
  int level_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  uint64_t inFlight_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

class Progress {
 public:
  Progress(uint64_t totalBytes, size_t members)
      : enabled_(ProgressEnabled() && totalBytes >= kProgressMinimumBytes), total_(totalBytes), members_(members) {}

  ~Progress() {
    if (shown_) fprintf(stderr, "\r\033[K");
  }

  void Update(uint64_t bytesDone, size_t membersDone) {
    if (!enabled_) return;
    double now = Now();
    if (now - last_ < kProgressInterval) return;
    last_ = now;
    shown_ = true;
    fprintf(stderr, "\rpacking: %3d%%  %zu of %zu members", (int)(100.0 * (double)bytesDone / (double)total_),
            membersDone, members_);
    fflush(stderr);
  }

 private:
  bool enabled_;
  bool shown_ = false;
  uint64_t total_;
  size_t members_;
  double last_ = 0;
};

MemberRecord RecordFor(const SourceEntry& entry, const Slot& slot, uint64_t offset) {
  MemberRecord record;
  record.method = slot.method;
  record.versionNeeded = slot.method == kMethodDeflated ? kVersionDeflated : kVersionStored;
  record.flags = entry.utf8 ? kFlagUtf8Name : 0;
  record.dosTime = entry.dosTime;
  record.dosDate = entry.dosDate;
  record.crc = slot.crc;
  record.compressedSize = (uint32_t)slot.data.size();
  record.uncompressedSize = (uint32_t)slot.size;
  record.externalAttributes = (entry.mode & 0xFFFF) << kUnixModeShift;
  if (entry.isDirectory) record.externalAttributes |= kDosDirectoryAttribute;
  record.localHeaderOffset = (uint32_t)offset;
  record.storedName = entry.storedName;
  record.extra = entry.extra;
  return record;
}

}  // namespace

PackTotals WriteMembers(const std::vector<SourceEntry>& entries, int level, int jobs, OutputFile& out) {
  PackTotals totals;
  uint64_t totalBytes = 0;
  for (const SourceEntry& entry : entries) totalBytes += entry.size;
  if ((size_t)jobs > entries.size()) jobs = entries.empty() ? 1 : (int)entries.size();

  std::vector<uint8_t> central;
  Progress progress(totalBytes, entries.size());
  {
    Pipeline pipeline(entries, level, jobs);
    for (size_t i = 0; i < entries.size(); i++) {
      Slot slot = pipeline.Take(i);
      if (!slot.error.empty()) throw PackError{slot.error};
      MemberRecord record = RecordFor(entries[i], slot, out.Position());
      std::vector<uint8_t> header = LocalHeaderBytes(record);
      out.Write(header.data(), header.size());
      out.Write(slot.data.data(), slot.data.size());
      std::vector<uint8_t> centralRecord = CentralHeaderBytes(record);
      central.insert(central.end(), centralRecord.begin(), centralRecord.end());
      pipeline.Release(slot.cost);
      if (entries[i].isDirectory) {
        totals.directories++;
      } else {
        totals.files++;
      }
      totals.bytesIn += slot.size;
      progress.Update(totals.bytesIn, i + 1);
    }
  }
  uint64_t centralOffset = out.Position();
  out.Write(central.data(), central.size());
  std::vector<uint8_t> end = EndRecordBytes(entries.size(), central.size(), centralOffset, "");
  out.Write(end.data(), end.size());
  return totals;
}

}  // namespace pack
