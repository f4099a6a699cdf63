// Reading and rewriting the resources of a Windows executable image.
//
// The packer gives a self-extractor the publisher's icon, version
// information and execution level by rebuilding the stub's resource section
// before the configuration block and the archive are appended: editing a
// finished self-extractor would move the archive, whose offsets are
// absolute, and break a signature, which must stay last. The rebuilt image is
// an ordinary one: the resource section, the sections after it, the data
// directories, the image size and the checksum all agree.
//
// The same reader tells the execution level a payload program's manifest
// asks for, so the packer can give the stub the same one.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace pe {

// The execution levels a manifest may request, as the manifest spells them.
extern const char* const kExecutionLevels[3];  // asInvoker, highestAvailable, requireAdministrator

// The version strings a publisher may set.
extern const char* const kVersionKeys[8];

struct StubEdits {
  std::vector<uint8_t> icon;  // the bytes of an .ico file for icon group 108; empty keeps the stub's
  std::vector<std::pair<std::string, std::string>> versionStrings;  // key, UTF-8 value
  std::string executionLevel;  // one of kExecutionLevels; empty keeps the stub's
};

// Why a --version-info KEY=VALUE cannot be used (an unknown key, a value too
// long or not valid UTF-8 of Unicode characters), or "" when it can.
std::string VersionStringProblem(const std::string& key, const std::string& value);

// Why `image` cannot serve as the packer's stub (not a Windows executable,
// not one of our stubs, signed, or with something appended after its
// image), or "" when it can.
std::string StubProblem(const std::vector<uint8_t>& image);

// The stub with `edits` applied. Throws pack::PackError with a message on
// an icon file that is broken or holds no image.
std::vector<uint8_t> EditStub(const std::vector<uint8_t>& image, const StubEdits& edits);

// The execution level requested by the manifest resource of a Windows
// executable image: one of kExecutionLevels, or "" when the bytes are not a
// Windows executable or it has no manifest or no level in it.
std::string ManifestExecutionLevel(const std::vector<uint8_t>& image);

}  // namespace pe
