// The platform layer where the engine tests do not reach it, the same natively and under Wine: refusals, seeks from
// the end, short reads, closed handles, name conversions; on POSIX, reads a signal interrupts.
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/cp437.h"
#include "platform/fault.h"
#include "platform/platform.h"

TEST(PlatformTest, FilesFoldersAndNames) {
  testing_support::TempDir dir;
  const std::string a = dir.Core("a"), sub = dir.Core("sub");
  testing_support::WriteFileBytes(dir.path() / "a", "0123456789");
  PlatformHandle h = PlatformOpenRead(a.c_str());
  char buffer[16];
  EXPECT_TRUE(PlatformSeek(h, -2, kSeekEnd) == 8 && PlatformSeek(h, -4, kSeekCur) == 4);
  EXPECT_TRUE(PlatformRead(h, buffer, 16) == 6 && PlatformRead(h, buffer, 16) == 0);  // short at the end, then none
  faultPlan.shortReadAt = faultPlan.calls[kFaultRead] + 1;  // that read only, halved
  EXPECT_TRUE(PlatformSeek(h, 0, kSeekSet) == 0 && PlatformRead(h, buffer, 8) == 4 && PlatformRead(h, buffer, 8) == 6);
  EXPECT_TRUE(PlatformClose(h) == 0 && PlatformOpenNew(a.c_str()) == kNoHandle);  // a new file only where none is
  EXPECT_EQ(PlatformRead(h, buffer, 4), -1);  // a closed handle: an error, never a retry
  EXPECT_TRUE(PlatformMakeDirectory(sub.c_str()) && PlatformIsDirectory(sub.c_str()) && !PlatformIsReadOnly(sub.c_str()));
  EXPECT_FALSE(PlatformMakeDirectory(sub.c_str()) || PlatformMakeDirectory(dir.Core("x/y").c_str()));
  EXPECT_FALSE(PlatformOpenRead(sub.c_str()) != kNoHandle || PlatformOpenWrite(sub.c_str()) != kNoHandle);
  std::filesystem::permissions(dir.path() / "a", std::filesystem::perms::owner_read);
  EXPECT_TRUE(PlatformIsReadOnly(a.c_str()) && PlatformOpenWrite(a.c_str()) == kNoHandle);
#ifndef _WIN32
  // A signal that arrives while a read waits is no failure: the read goes on and gets what the handler sent.
  static int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  struct sigaction action = {};
  action.sa_handler = [](int) { (void)!write(ends[1], "late", 4); };  // no SA_RESTART: read() fails with EINTR
  sigaction(SIGALRM, &action, nullptr);
  ualarm(100000, 0);  // while this read waits
  EXPECT_TRUE(PlatformRead(ends[0], buffer, 4) == 4 && PlatformClose(ends[0]) == 0 && PlatformClose(ends[1]) == 0);
#endif

  // Name conversions: out null means refused.
  struct Row { bool (*convert)(const char*, char*, size_t); const char* in; const char* out; };
  const Row rows[] = {
#ifdef _WIN32
      {PlatformOemToAnsi, "\x84\x94\x81", "\xE4\xF6\xFC"}, {PlatformUtf8ToAnsi, "caf\xC3\xA9", "caf\xE9"},
      {PlatformUtf8ToAnsi, "\xE6\x97\xA5", nullptr},  // no such ANSI character
#else
      {PlatformOemToAnsi, "\x84\x94\x81", "\xC3\xA4\xC3\xB6\xC3\xBC"}, {PlatformUtf8ToAnsi, "\xE6\x97\xA5", "\xE6\x97\xA5"},
      {PlatformOemToAnsi, "\x84\x84\x84\x84\x84\x84\x84\x84", nullptr},  // 16 bytes and a NUL do not fit
#endif
      {PlatformOemToAnsi, "plain-ASCII~", "plain-ASCII~"}, {Utf8ToCp437, "\xCE\xA9", "\xEA"},
      {Utf8ToCp437, "\xE6\x97\xA5", nullptr}, {PlatformUtf8ToAnsi, "bad\xC3", nullptr},  // none in CP437; cut,
      {PlatformUtf8ToAnsi, "\xC0\xAF", nullptr}, {PlatformUtf8ToAnsi, "\xED\xA0\x80", nullptr},  // overlong, surrogate
  };
  char out[16], back[8];
  for (const Row& r : rows) EXPECT_STREQ(r.convert(r.in, out, sizeof out) ? out : nullptr, r.out) << r.in;
  for (char one[2] = {(char)0x80, 0}; one[0] != 0; one[0]++)  // 0x80 to 0xFF there and back
    EXPECT_TRUE(Cp437ToUtf8(one, out, sizeof out) && Utf8ToCp437(out, back, sizeof back) && back == std::string(one));
}

