// Where the packer's stub comes from: the file given with --stub, else the
// release stub built into the tool. The built-in copy is generated at
// configure time by tools/pack_stub.cmake from ZARVEL_EMBED_STUB; without it
// the generated table is empty and --stub is required.
#include <errno.h>
#include <string.h>

#include "tools/pack_internal.h"

extern const unsigned char kEmbeddedStubBytes[];
extern const size_t kEmbeddedStubSize;

namespace pack {

bool HaveEmbeddedStub() { return kEmbeddedStubSize > 0; }

std::vector<uint8_t> LoadStub(const std::string& stubPath) {
  if (stubPath.empty()) {
    if (!HaveEmbeddedStub()) {
      throw PackError{"this zarvel was built without a stub: give one with --stub STUB.exe"};
    }
    return std::vector<uint8_t>(kEmbeddedStubBytes, kEmbeddedStubBytes + kEmbeddedStubSize);
  }
  FILE* file = fopen(stubPath.c_str(), "rb");
  if (file == nullptr) throw PackError{"'" + stubPath + "': " + strerror(errno)};
  std::vector<uint8_t> bytes;
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) throw PackError{"'" + stubPath + "': read failed"};
  if (bytes.empty()) throw PackError{"'" + stubPath + "': the stub is empty"};
  return bytes;
}

}  // namespace pack
