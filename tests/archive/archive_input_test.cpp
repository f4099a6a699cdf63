// The archive input: local headers, and FetchByte's buffered delivery of a
// member's compressed data, including data that ends early.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;

namespace {

class InputTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override {
    ResetCoreState();
    free(buffer);
  }
  // Opens a file holding `bytes` as the archive.
  void OpenBytes(const std::string& bytes) {
    WriteFileBytes(dir.path() / "data.bin", bytes);
    archiveHandle = PlatformOpenRead(dir.Core("data.bin").c_str());
    ASSERT_NE(archiveHandle, kNoHandle);
    archiveLength = (int64_t)bytes.size();
    buffer = (uint8_t*)malloc(kInputBufferSize);
  }
  TempDir dir;
  uint8_t* buffer = nullptr;
};

TEST_F(InputTest, LocalHeaderLeavesTheHandleAtTheData) {
  // zip writes a longer extra field locally than centrally: the local
  // lengths decide where the data begins.
  ArchiveOpen(FixturePath("archive/plain.zip").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EntryList list;
  InitEntryList(&list);
  ReadCentralDirectory(&list);
  ASSERT_EQ(errorCode, kStatusOk);
  const CentralHeader& header = list.head->header;
  ASSERT_EQ(PlatformSeek(archiveHandle, CentralField32(header, kCentralLocalHeaderOffset) + 4, kSeekSet),
            (int64_t)CentralField32(header, kCentralLocalHeaderOffset) + 4);
  LocalFileHeader local;
  char name[kNameCapacity];
  ASSERT_EQ(ReadLocalHeader(&local, name), kStatusOk);
  EXPECT_STREQ(name, "readme.txt");
  EXPECT_NE(ReadLe16(local.bytes + kLocalExtraLength), CentralField16(header, kCentralExtraLength));
  char data[13];
  ASSERT_EQ(ReadArchiveBytes(data, sizeof data), kStatusOk);
  EXPECT_EQ(std::string(data, sizeof data), "hello, world\n");
  FreeEntryList(&list);
}

TEST_F(InputTest, EmptyMemberReadsNothing) {
  OpenBytes("abc");
  ResetCompressedInput(buffer, 0);
  uint32_t reads = faultPlan.calls[kFaultRead];
  EXPECT_EQ(FetchByte(), kEndOfData);
  EXPECT_EQ(FetchByte(), kEndOfData);
  EXPECT_EQ(faultPlan.calls[kFaultRead], reads);
  EXPECT_EQ(errorCode, kStatusOk);
}

TEST_F(InputTest, DeliversEveryByteInReadsOfAtMost4096) {
  std::string bytes = RandomBytes(4097 + 10, 7);
  for (uint32_t size : {4096u, 4097u}) {
    SCOPED_TRACE(size);
    OpenBytes(bytes);
    ResetCompressedInput(buffer, size);
    FaultReset();
    for (uint32_t i = 0; i < size; i++) {
      ASSERT_EQ(FetchByte(), (uint8_t)bytes[i]) << i;
      if (i == 0 || i == 4096) {
        EXPECT_EQ(CompressedInput.nextPos, 2);  // restarts after each read
      }
    }
    EXPECT_EQ(FetchByte(), kEndOfData);
    EXPECT_EQ(FetchByte(), kEndOfData);
    EXPECT_EQ(faultPlan.calls[kFaultRead], size == 4096 ? 1u : 2u);
    EXPECT_EQ(errorCode, kStatusOk);
    PlatformClose(archiveHandle);
    archiveHandle = kNoHandle;
    free(buffer);
    buffer = nullptr;
  }
}

TEST_F(InputTest, DataEndingEarlyOrAFailedReadEndsTheMemberWith5) {
  OpenBytes(std::string(100, 'x'));
  ResetCompressedInput(buffer, 5000);
  for (int i = 0; i < 100; i++) ASSERT_EQ(FetchByte(), 'x');
  EXPECT_EQ(FetchByte(), kEndOfData);
  EXPECT_EQ(errorCode, kStatusFileError);
  EXPECT_EQ(FetchByte(), kEndOfData);  // and from then on

  errorCode = kStatusOk;
  PlatformSeek(archiveHandle, 0, kSeekSet);
  ResetCompressedInput(buffer, 50);
  faultPlan.failAt[kFaultRead] = faultPlan.calls[kFaultRead] + 1;
  EXPECT_EQ(FetchByte(), kEndOfData);
  EXPECT_EQ(errorCode, kStatusFileError);

  // An earlier code is kept.
  errorCode = kStatusCancelled;
  ResetCompressedInput(buffer, 50);
  faultPlan.failAt[kFaultRead] = faultPlan.calls[kFaultRead] + 1;
  EXPECT_EQ(FetchByte(), kEndOfData);
  EXPECT_EQ(errorCode, kStatusCancelled);
}

TEST_F(InputTest, SkipsAndSignatures) {
  OpenBytes(std::string("PK\x01\x02", 4) + "0123456789");
  uint32_t signature = 0;
  ASSERT_EQ(ReadSignature(&signature), kStatusOk);
  EXPECT_EQ(signature, kCentralHeaderSignature);
  EXPECT_EQ(SkipBytes(5), kStatusOk);
  char c;
  ASSERT_EQ(ReadArchiveBytes(&c, 1), kStatusOk);
  EXPECT_EQ(c, '5');
  EXPECT_EQ(SkipBytes(100), kStatusFileError);  // past the end of the file
  EXPECT_EQ(ReadSignature(&signature), kStatusFileError);
  faultPlan.failAt[kFaultSeek] = faultPlan.calls[kFaultSeek] + 1;
  EXPECT_EQ(SkipBytes(-3), kStatusFileError);
}

}  // namespace
