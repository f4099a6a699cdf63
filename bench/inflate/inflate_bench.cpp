// Decoding speed of our Deflate decoder against zlib's raw inflate and
// libdeflate, on the same raw Deflate members, each including its CRC-32.
//
// Inputs are taken from the system (text, C headers, executables, already
// compressed files), cut to the same size, and compressed with zlib at
// levels 1, 6 and 9. Each figure is the best of several timed rounds, in MB/s
// of decoded output, timed in processor time of the thread. Two settings are reported:
//
//   same I/O   every decoder reads the member from a file on /dev/shm in
//              4096-byte reads and writes its output to /dev/null in 32 KiB
//              writes, CRC per 32 KiB. Ours runs through its real path;
//              zlib streams with the same buffers; libdeflate, which only
//              decodes whole buffers, reads the member first and writes after.
//   memory     zlib and libdeflate from memory into memory, their best case.
//              Ours cannot run that way, so its figure is its same-I/O time
//              minus the measured cost of the reads and writes alone.
//
// The I/O column is that cost alone: the member's 4096-byte reads plus the
// output's 32 KiB writes, as a share of our whole time. The CRC column is
// Crc32Update alone over the output.
//
// For profiling, --only NAME and --level N pick one input and level, and
// --ours-only skips the other decoders and the I/O figure. --plain-loop runs
// the fast path's plain loop even where the processor has BMI2.
#include <libdeflate.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"

namespace fs = std::filesystem;

namespace {

size_t inputLimit = 8u << 20;
double roundSeconds = 0.15;
int rounds = 5;
std::string onlyInput;
int onlyLevel = 0;
bool oursOnly = false;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Gunzip(const std::string& gz) {
  z_stream z{};
  if (inflateInit2(&z, 16 + 15) != Z_OK) return std::string();
  std::string out;
  char buffer[65536];
  z.next_in = (Bytef*)gz.data();
  z.avail_in = (uInt)gz.size();
  int rc;
  do {
    z.next_out = (Bytef*)buffer;
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&z);
  return out;
}

// Files under `root` whose name matches, in a fixed order, concatenated up to
// the size limit.
std::string Collect(const std::string& root, const std::function<bool(const fs::path&)>& wanted,
                    bool gunzip = false) {
  std::vector<fs::path> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec) && wanted(it->path())) paths.push_back(it->path());
  }
  std::sort(paths.begin(), paths.end());
  std::string out;
  for (const fs::path& path : paths) {
    if (out.size() >= inputLimit) break;
    out += gunzip ? Gunzip(ReadFile(path)) : ReadFile(path);
  }
  if (out.size() > inputLimit) out.resize(inputLimit);
  return out;
}

bool HasExtension(const fs::path& path, std::initializer_list<const char*> extensions) {
  std::string ext = path.extension().string();
  for (const char* e : extensions) {
    if (ext == e) return true;
  }
  return false;
}

std::string RawDeflate(const std::string& input, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, input.size()), '\0');
  z.next_in = (Bytef*)input.data();
  z.avail_in = (uInt)input.size();
  z.next_out = (Bytef*)&out[0];
  z.avail_out = (uInt)out.size();
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// The calling thread's processor time, system time included: on a shared
// machine it leaves out the time spent waiting for a processor, which wall
// time would charge to whichever decoder happened to run then.
double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return (double)now.tv_sec + now.tv_nsec / 1e9;
}

// Best MB/s over the rounds; `decode` returns the CRC, checked every call.
double Measure(size_t outputSize, uint32_t expectedCrc, const std::function<uint32_t()>& decode) {
  double best = 0;
  for (int r = 0; r < rounds; r++) {
    double start = ThreadSeconds();
    size_t calls = 0;
    double elapsed;
    do {
      if (decode() != expectedCrc) {
        fprintf(stderr, "wrong output\n");
        exit(1);
      }
      calls++;
      elapsed = ThreadSeconds() - start;
    } while (elapsed < roundSeconds);
    best = std::max(best, (double)outputSize * calls / elapsed / 1e6);
  }
  return best;
}

struct Corpus {
  const char* name;
  std::string bytes;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--ours-only")) oursOnly = true;
    if (!strcmp(argv[i], "--plain-loop")) fastPathBmi2 = -1;
    if (i + 1 >= argc) break;
    if (!strcmp(argv[i], "--only")) onlyInput = argv[i + 1];
    if (!strcmp(argv[i], "--level")) onlyLevel = atoi(argv[i + 1]);
    if (!strcmp(argv[i], "--size-mb")) inputLimit = (size_t)atoi(argv[i + 1]) << 20;
    if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
    if (!strcmp(argv[i], "--round-seconds")) roundSeconds = atof(argv[i + 1]);
  }
  std::vector<Corpus> corpora;
  // Gathered lazily, so that a profile of one input does not pay for all.
  const std::pair<const char*, std::function<std::string()>> sources[] = {
      {"text", [] { return Collect("/usr/share/doc", [](const fs::path& p) { return p.filename() == "changelog.Debian.gz" || p.filename() == "changelog.gz"; }, true); }},
      {"source", [] { return Collect("/usr/include", [](const fs::path& p) { return HasExtension(p, {".h", ".hpp", ".c"}); }); }},
      {"exe", [] { return Collect("/usr/bin", [](const fs::path& p) { return !HasExtension(p, {".sh", ".py", ".pl"}); }); }},
      {"compressed", [] { return Collect("/usr/share", [](const fs::path& p) { return HasExtension(p, {".gz", ".png", ".jpg", ".xz"}); }); }},
  };
  for (const auto& source : sources) {
    if (onlyInput.empty() || onlyInput == source.first) corpora.push_back({source.first, source.second()});
  }

  fs::path memberPath = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  memberPath /= "zarvel-inflate-bench-" + std::to_string(getpid());
  uint8_t* inputBuffer = (uint8_t*)malloc(kInputBufferSize);
  std::vector<uint8_t> outWindow(kWindowSize);
  libdeflate_decompressor* libdeflate = libdeflate_alloc_decompressor();
  std::string scratch;
  std::string readBack;

  printf("%-10s %2s %5s | %6s %6s %6s %6s %6s | %5s %6s | %5s %5s | %5s %5s\n", "input", "lv", "ratio",
         "ours", "zl-io", "zl-mem", "ld-io", "ld-mem", "I/O", "CRC", "ours/", "zlib", "time/",
         "ld");
  printf("%-10s %2s %5s | %6s %6s %6s %6s %6s | %5s %6s | %5s %5s | %5s %5s\n", "", "", "", "MB/s",
         "MB/s", "MB/s", "MB/s", "MB/s", "share", "MB/s", "I/O", "mem", "I/O", "mem");
  for (const Corpus& corpus : corpora) {
    if (corpus.bytes.empty()) continue;
    const size_t size = corpus.bytes.size();
    scratch.assign(size, '\0');
    uint32_t expected = (uint32_t)crc32(0, (const Bytef*)corpus.bytes.data(), (uInt)size);
    double crcOnly = oursOnly ? 0 : Measure(size, expected, [&]() {
      uint32_t crc = 0xFFFFFFFFu;
      for (size_t at = 0; at < size; at += kWindowSize) {
        Crc32Update(&crc, (const uint8_t*)corpus.bytes.data() + at,
                    (uint32_t)std::min<size_t>(kWindowSize, size - at));
      }
      return ~crc;
    });
    for (int level : {1, 6, 9}) {
      if (onlyLevel != 0 && level != onlyLevel) continue;
      std::string member = RawDeflate(corpus.bytes, level);
      {
        std::ofstream out(memberPath, std::ios::binary);
        out.write(member.data(), (std::streamsize)member.size());
      }
      archiveHandle = PlatformOpenRead(memberPath.c_str());
      archiveLength = (int64_t)member.size();
      outputHandle = PlatformOpenWrite("/dev/null");
      // Writes the output in windows, as FlushWindow does (without the CRC).
      auto writeWindows = [&](const uint8_t* data, size_t count) {
        for (size_t at = 0; at < count; at += kWindowSize) {
          PlatformWrite(outputHandle, data + at, (uint32_t)std::min<size_t>(kWindowSize, count - at));
        }
      };
      double ours = Measure(size, expected, [&]() {
        PlatformSeek(archiveHandle, 0, kSeekSet);
        ResetCompressedInput(inputBuffer, (uint32_t)member.size());
        Crc32 = 0xFFFFFFFFu;
        bytesWritten = 0;
        errorCode = 0;
        currentExtent.uncompressedSize = size;  // the output stops there
        InflateEntry();
        return errorCode == 0 ? ~Crc32 : 0;
      });
      if (oursOnly) {
        printf("%-10s %2d %5.3f | %6.0f\n", corpus.name, level, (double)member.size() / size, ours);
        PlatformClose(outputHandle);
        PlatformClose(archiveHandle);
        continue;
      }
      // The reads and writes alone; the CRC is taken from memory afterwards
      // only to satisfy the check, outside what this figure stands for.
      double ioOnly = Measure(size, expected, [&]() {
        PlatformSeek(archiveHandle, 0, kSeekSet);
        ResetCompressedInput(inputBuffer, (uint32_t)member.size());
        while (RefillCompressedInput() > 0) {
        }
        writeWindows((const uint8_t*)corpus.bytes.data(), size);
        return expected;
      });

      z_stream z{};
      inflateInit2(&z, -15);
      double zlibMem = Measure(size, expected, [&]() {
        inflateReset(&z);
        z.next_in = (Bytef*)member.data();
        z.avail_in = (uInt)member.size();
        z.next_out = (Bytef*)&scratch[0];
        z.avail_out = (uInt)scratch.size();
        if (inflate(&z, Z_FINISH) != Z_STREAM_END) return 0u;
        return (uint32_t)crc32(0, (const Bytef*)scratch.data(), (uInt)z.total_out);
      });
      double zlibIo = Measure(size, expected, [&]() {
        inflateReset(&z);
        PlatformSeek(archiveHandle, 0, kSeekSet);
        uint32_t left = (uint32_t)member.size();
        uLong crc = crc32(0, nullptr, 0);
        int rc = Z_OK;
        z.avail_in = 0;
        while (rc == Z_OK) {
          if (z.avail_in == 0 && left > 0) {
            uint32_t want = std::min<uint32_t>(left, kInputBufferSize);
            int32_t got = PlatformRead(archiveHandle, inputBuffer, want);
            if (got <= 0) return 0u;
            left -= (uint32_t)got;
            z.next_in = inputBuffer;
            z.avail_in = (uInt)got;
          }
          z.next_out = outWindow.data();
          z.avail_out = kWindowSize;
          rc = inflate(&z, Z_NO_FLUSH);
          uint32_t produced = kWindowSize - z.avail_out;
          crc = crc32(crc, outWindow.data(), produced);
          PlatformWrite(outputHandle, outWindow.data(), produced);
        }
        return rc == Z_STREAM_END ? (uint32_t)crc : 0u;
      });
      inflateEnd(&z);

      double ldMem = Measure(size, expected, [&]() {
        size_t produced = 0;
        if (libdeflate_deflate_decompress(libdeflate, member.data(), member.size(), &scratch[0],
                                          scratch.size(), &produced) != LIBDEFLATE_SUCCESS) {
          return 0u;
        }
        return libdeflate_crc32(0, scratch.data(), produced);
      });
      readBack.assign(member.size(), '\0');
      double ldIo = Measure(size, expected, [&]() {
        PlatformSeek(archiveHandle, 0, kSeekSet);
        for (size_t at = 0; at < member.size(); at += kInputBufferSize) {
          uint32_t want = (uint32_t)std::min<size_t>(kInputBufferSize, member.size() - at);
          if (PlatformRead(archiveHandle, &readBack[at], want) != (int32_t)want) return 0u;
        }
        size_t produced = 0;
        if (libdeflate_deflate_decompress(libdeflate, readBack.data(), readBack.size(), &scratch[0],
                                          scratch.size(), &produced) != LIBDEFLATE_SUCCESS) {
          return 0u;
        }
        uint32_t crc = 0;
        for (size_t at = 0; at < produced; at += kWindowSize) {
          size_t n = std::min<size_t>(kWindowSize, produced - at);
          crc = libdeflate_crc32(crc, scratch.data() + at, n);
          PlatformWrite(outputHandle, scratch.data() + at, (uint32_t)n);
        }
        return crc;
      });
      PlatformClose(outputHandle);
      PlatformClose(archiveHandle);

      // Times per byte; our memory-to-memory estimate takes the I/O off.
      double tOurs = 1 / ours, tIo = 1 / ioOnly;
      double oursMem = 1 / std::max(tOurs - tIo, tOurs * 0.01);
      printf("%-10s %2d %5.3f | %6.0f %6.0f %6.0f %6.0f %6.0f | %4.0f%% %6.0f | %5.2f %5.2f | %5.2f %5.2f\n",
             corpus.name, level, (double)member.size() / size, ours, zlibIo, zlibMem, ldIo, ldMem,
             100 * tIo / tOurs, crcOnly, ours / zlibIo, oursMem / zlibMem, ldIo / ours, ldMem / oursMem);
      fflush(stdout);
    }
  }
  fs::remove(memberPath);
  libdeflate_free_decompressor(libdeflate);
  free(inputBuffer);
  return 0;
}
