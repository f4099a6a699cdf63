// The packer's output file: it replaces the target only when committed, refuses to grow past its limit (lowered
// here) and rewrites its own bytes. The records it writes, ZIP64 where values pass 32 bits (with offsets no test
// writes 4 GiB to reach). The pieces a large member is compressed in, with zlib as the control.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "common/test_support.h"
#include "tools/pack_internal.h"
#include "tools/pe_resources.h"

TEST(PackOutput, AppearsOnlyWhenCommittedAndNeverPastItsLimit) {
  namespace fs = std::filesystem;
  testing_support::TempDir dir;
  fs::path target = dir.path() / "out.exe";
  auto entries = [&] { return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()); };
  testing_support::WriteFileBytes(target, "old");
  for (bool commit : {false, true}) {
    pack::OutputFile out(target.string(), 10);
    out.Write("new bytes!", 10);
    EXPECT_THROW(out.Write("x", 1), pack::PackError);
    EXPECT_EQ(entries(), 2);  // the old output and the temporary file
    EXPECT_EQ(testing_support::ReadFileBytes(target), "old");
    if (commit) out.Commit();
  }
  EXPECT_EQ(testing_support::ReadFileBytes(target), "new bytes!");
  EXPECT_EQ(entries(), 1);
}

TEST(PackOutput, RewritesEarlierBytesAndCutsItsEnd) {
  testing_support::TempDir dir;
  pack::OutputFile out((dir.path() / "out.exe").string());
  out.Write("abcdef", 6);
  out.WriteAt(1, "XY", 2);
  out.Write("g", 1);  // still at the end
  EXPECT_EQ(out.Position(), 7u);
  EXPECT_THROW(out.WriteAt(6, "..", 2), pack::PackError);
  out.Truncate(4);
  out.Write("z", 1);
  EXPECT_EQ(out.Position(), 5u);
  out.Commit();
  EXPECT_EQ(testing_support::ReadFileBytes(dir.path() / "out.exe"), "aXYdz");
}

namespace {

const uint64_t k4G = 0xFFFFFFFF;  // from here on a value needs ZIP64

uint64_t Le(const std::vector<uint8_t>& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size; i-- > 0;) value = value << 8 | bytes.at(at + i);
  return value;
}

// The values of the ZIP64 extra field at `at`, where the records put it first; none without it.
std::vector<uint64_t> Zip64Values(const std::vector<uint8_t>& record, size_t at) {
  std::vector<uint64_t> values;
  if (Le(record, at, 2) != 1) return values;
  for (size_t i = 0; i < Le(record, at + 2, 2); i += 8) values.push_back(Le(record, at + 4 + i, 8));
  return values;
}

}  // namespace

// A central record carries each size or offset from 0xFFFFFFFF on in the ZIP64 extra field (uncompressed,
// compressed, offset) and all ones in its field; a local header both sizes when either needs it. Both records of
// a member with the field ask for version 4.5, and the member's own extra field follows it.
TEST(PackRecords, ValuesPast32BitsGoIntoTheZip64ExtraField) {
  const struct {
    uint64_t uncompressed, compressed, offset;
    std::vector<uint64_t> local, central;
  } rows[] = {{k4G - 1, k4G - 1, k4G - 1, {}, {}},
              {100, 50, k4G, {}, {k4G}},
              {k4G, 16, 5ull << 32, {k4G, 16}, {k4G, 5ull << 32}},
              {6ull << 30, k4G + 1, 7, {6ull << 30, k4G + 1}, {6ull << 30, k4G + 1}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.uncompressed << " " << row.compressed << " " << row.offset);
    // Version 2.0, sizes and offset, the name "n" and an extra field of its own.
    const pack::MemberRecord record{20, 0, 0, 0, 0, 0, row.compressed, row.uncompressed, 0, row.offset, "n", {"up\1\0x", 5}};
    std::vector<uint8_t> local = pack::LocalHeaderBytes(record), central = pack::CentralHeaderBytes(record);
    EXPECT_EQ(Zip64Values(local, 31), row.local);
    EXPECT_EQ(Zip64Values(central, 47), row.central);
    uint64_t version = row.central.empty() ? 20 : 45;
    EXPECT_EQ(std::make_pair(Le(local, 4, 2), Le(central, 6, 2)), std::make_pair(version, version));
    EXPECT_EQ(Le(local, 18, 4), row.local.empty() ? row.compressed : k4G);
    EXPECT_EQ(Le(local, 22, 4), row.local.empty() ? row.uncompressed : k4G);
    const uint64_t fields[][2] = {{20, row.compressed}, {24, row.uncompressed}, {42, row.offset}};
    for (const auto& field : fields) EXPECT_EQ(Le(central, field[0], 4), std::min(field[1], k4G));
    EXPECT_EQ(std::string(local.end() - 5, local.end()) + std::string(central.end() - 5, central.end()),
              record.extra + record.extra);
  }
}

// A ZIP64 end record (version 4.5) and its locator come before the end record for more than 65,535 entries, or a
// directory whose size or offset needs 64 bits; the end record's fields that fit keep their values.
TEST(PackRecords, TheZip64EndRecordComesOnlyWhenTheDirectoryNeedsIt) {
  const struct {
    uint64_t entries, size, offset;
    bool zip64;
  } rows[] = {{65535, 10, k4G - 1, false}, {65536, 10, 20, true}, {3, k4G, 5, true}, {3, 10, k4G, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.entries << " " << row.size << " " << row.offset);
    std::vector<uint8_t> bytes = pack::EndRecordBytes(row.entries, row.size, row.offset, "c");
    size_t end = bytes.size() - 23;
    EXPECT_EQ(std::make_pair(end, Le(bytes, end, 4)), std::make_pair(row.zip64 ? 76 : size_t{0}, uint64_t{0x06054B50}));
    EXPECT_EQ(Le(bytes, end + 10, 2), std::min<uint64_t>(row.entries, 0xFFFF));
    EXPECT_EQ(Le(bytes, end + 12, 4), std::min(row.size, k4G));
    EXPECT_EQ(Le(bytes, end + 16, 4), std::min(row.offset, k4G));
    if (!row.zip64) continue;
    const uint64_t fields[][3] = {{0, 4, 0x06064B50}, {4, 8, 44}, {14, 2, 45}, {24, 8, row.entries},
                                  {32, 8, row.entries}, {40, 8, row.size}, {48, 8, row.offset},
                                  {56, 4, 0x07064B50}, {64, 8, row.offset + row.size}, {72, 4, 1}};
    for (const auto& field : fields) EXPECT_EQ(Le(bytes, field[0], (int)field[1]), field[2]) << "at " << field[0];
  }
}

// Pieces compressed apart, each with the input before it as dictionary, join into one raw Deflate stream that zlib
// inflates to the input, hardly larger than the whole compressed at once.
TEST(PackPieces, JoinIntoOneStreamAsSmallAsTheWhole) {
  // Copies of a random block 20,000 bytes apart, one byte changed in each: matches reach back across the cuts.
  std::string block = testing_support::RandomBytes(20000, 7), text;
  for (size_t copy = 0; copy < 10; copy++) {
    block[copy * 997] ^= 1;
    text += block;
  }
  const auto* input = reinterpret_cast<const uint8_t*>(text.data());
  struct Row {
    size_t piece;
    int level;
  } rows[] = {{1000, 1}, {4096, 12}, {50000, 6}, {65536, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "pieces of " << row.piece << ", level " << row.level);
    pack::PieceCompressor compressor(row.level);
    std::vector<uint8_t> stream;
    size_t pieces = 0;
    for (size_t at = 0; at < text.size(); at += row.piece, pieces++) {
      size_t history = std::min(at, pack::kDeflateWindow), size = std::min(row.piece, text.size() - at);
      std::vector<uint8_t> piece =
          compressor.Compress(input + at - history, history, input + at, size, at + size == text.size());
      stream.insert(stream.end(), piece.begin(), piece.end());
    }
    size_t whole = compressor.Compress(nullptr, 0, input, text.size(), true).size();
    EXPECT_LE(stream.size(), whole * 11 / 10 + 64 * pieces);
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
    std::string out(text.size() + 1, '\0');
    z.next_in = stream.data();
    z.avail_in = (uInt)stream.size();
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = (uInt)out.size();
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);  // the final bit ends the last piece, and only it
    out.resize(z.total_out);
    inflateEnd(&z);
    EXPECT_TRUE(out == text);
  }
}

// A version string is refused for an unknown key, and for a value that is not Unicode text of at most 256 characters
// in strict UTF-8: no overlong forms, surrogates, code points past U+10FFFF, cut sequences or NUL.
TEST(PeResources, VersionStringsAreKnownKeysWithUnicodeText) {
  const struct {
    const char* key;
    std::string value;
    const char* said;  // a part of the problem; "" for none
  } rows[] = {{"Colour", "red", "unknown key (the keys are FileVersion, ProductVersion, ProductName, "
                                "FileDescription, CompanyName, LegalCopyright, OriginalFilename, Comments)"},
              {"Comments", "", ""}, {"CompanyName", "Ex\xC3\xA4mple \xE6\x97\xA5\xF0\x9F\x98\x80", ""},
              {"Comments", std::string(256, 'x'), ""}, {"Comments", std::string(257, 'x'), "longer than 256"},
              {"Comments", "\xC0\xAF", "UTF-8"}, {"Comments", "\xED\xA0\x80", "UTF-8"}, {"Comments", "\x80", "UTF-8"},
              {"Comments", "\xF4\x90\x80\x80", "UTF-8"}, {"Comments", "\xE6\x97", "UTF-8"},
              {"Comments", std::string("a\0b", 3), "NUL"}};
  for (const auto& row : rows) {
    std::string problem = pe::VersionStringProblem(row.key, row.value);
    EXPECT_EQ(problem.empty(), !*row.said) << row.value << ": " << problem;
    EXPECT_NE(problem.find(row.said), std::string::npos) << row.value << ": " << problem;
  }
}

// Each 32-bit word of the real stub's headers and resource section spoiled in turn, as a hostile program might be:
// the readers answer without reading outside the image or looping, and every image the editor takes becomes a stub
// that passes its own check and asks for the edited level.
TEST(PeResources, SpoiledImagesAreRefusedOrEditedIntoGoodStubs) {
  const char* path = getenv("ZARVEL_STUB");
  ASSERT_TRUE(path && *path) << "ZARVEL_STUB names the release stub";
  std::string bytes = testing_support::ReadFileBytes(path);
  const std::vector<uint8_t> stub(bytes.begin(), bytes.end());
  ASSERT_EQ(pe::ManifestExecutionLevel(stub), "asInvoker");
  pe::StubEdits edits;
  edits.executionLevel = "requireAdministrator";
  size_t edited = 0, refused = 0, headers = 0x400, section = std::string(bytes, 0, headers).find(".rsrc");
  uint32_t raw[2];  // the section header's size and position of its data
  memcpy(raw, &stub.at(section + 16), sizeof raw);
  for (size_t at = 0; at + 4 <= raw[1] + raw[0]; at = at + 4 == headers ? raw[1] : at + 4) {
    for (uint32_t value : {0u, 0xFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
      std::vector<uint8_t> image = stub;
      memcpy(&image[at], &value, 4);
      std::string level = pe::ManifestExecutionLevel(image);
      ASSERT_TRUE(level == "asInvoker" || level.empty()) << at << ": " << level;
      try {
        std::vector<uint8_t> out = pe::EditStub(image, edits);
        ASSERT_EQ(pe::StubProblem(out), "") << at;
        ASSERT_EQ(pe::ManifestExecutionLevel(out), edits.executionLevel) << at;
        edited++;
      } catch (const pack::PackError&) {
        refused++;
      }
    }
  }
  EXPECT_GT(refused, 0u);
  EXPECT_GT(edited, refused);
}
