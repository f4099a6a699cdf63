// Temporary weak stand-ins while the resource module and the repack readers are written; not committed.
#include "tools/pack_internal.h"
#include "tools/pe_resources.h"
namespace pe {
__attribute__((weak)) extern const char* const kExecutionLevels[3] = {"asInvoker", "highestAvailable", "requireAdministrator"};
__attribute__((weak)) extern const char* const kVersionKeys[8] = {"FileVersion", "ProductVersion", "ProductName", "FileDescription", "CompanyName", "LegalCopyright", "OriginalFilename", "Comments"};
__attribute__((weak)) std::string VersionStringProblem(const std::string&, const std::string&) { return ""; }
__attribute__((weak)) std::string StubProblem(const std::vector<uint8_t>&) { return ""; }
__attribute__((weak)) std::vector<uint8_t> EditStub(const std::vector<uint8_t>& image, const StubEdits&) { return image; }
__attribute__((weak)) std::string ManifestExecutionLevel(const std::vector<uint8_t>&) { return ""; }
}
namespace pack {
__attribute__((weak)) std::vector<std::string> ZipMemberNames(const std::string&) { return {}; }
__attribute__((weak)) std::vector<uint8_t> ReadZipMember(const std::string&, const std::string&, uint64_t) { return {}; }
}
