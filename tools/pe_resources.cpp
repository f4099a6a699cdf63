// Reading and rewriting the resource section of a PE32 or PE32+ image.
//
// Every byte read comes from a buffer that may be hostile (a payload
// program is read for its manifest): offsets go through one checked reader,
// the directory tree is walked at most three levels deep with a cap on the
// entries visited, and a malformed image is an exception caught at this
// module's surface. The rebuilt section follows the linker's layout: the
// directory tables breadth first, the data entries, the names, the data.
// When it outgrows its place, only the base relocations may follow it:
// nothing in the code refers to them, so they can move.
#include "tools/pe_resources.h"

#include <string.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>

#include "archive/zip_format.h"
#include "platform/cp437.h"
#include "resources/resource_ids.h"
#include "tools/pack_internal.h"

namespace pe {

const char* const kExecutionLevels[3] = {"asInvoker", "highestAvailable", "requireAdministrator"};
const char* const kVersionKeys[8] = {"FileVersion",     "ProductVersion", "ProductName",      "FileDescription",
                                     "CompanyName",     "LegalCopyright", "OriginalFilename", "Comments"};

namespace {

// PE/COFF headers: offsets in the file header (after "PE\0\0") and in the
// optional header, the same in PE32 and PE32+ up to the data directories.
const uint16_t kDosMagic = 0x5A4D;  // "MZ"
const uint32_t kPeOffsetField = 0x3C;
const uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
const uint32_t kSectionCountField = 6;
const uint32_t kOptionalSizeField = 20;
const uint32_t kFileHeaderEnd = 24;
const uint16_t kPe32Magic = 0x10B;
const uint16_t kPe32PlusMagic = 0x20B;
const uint32_t kInitializedDataField = 8;
const uint32_t kSectionAlignmentField = 32;
const uint32_t kFileAlignmentField = 36;
const uint32_t kImageSizeField = 56;
const uint32_t kHeadersSizeField = 60;
const uint32_t kChecksumField = 64;
const uint32_t kDirectoryCountField[2] = {92, 108};  // PE32, PE32+
const uint32_t kDirectoriesAt[2] = {96, 112};
const uint32_t kMaxDirectories = 16;
const uint32_t kMaxAlignment = 0x10000;  // the largest file alignment PE/COFF allows, and more than programs use
const uint32_t kSectionHeaderSize = 40;
const uint32_t kInitializedDataFlag = 0x40;
const size_t kResourceDirectory = 2;
const size_t kSecurityDirectory = 4;  // a file offset, not an RVA: the signature
const char kMovableSection[] = ".reloc";

// Resource tables: a 16-byte header counting named and ID entries, then
// 8-byte entries whose high bits mark a name and a subdirectory.
const uint32_t kTableHeaderSize = 16;
const uint32_t kEntrySize = 8;
const uint32_t kDataEntrySize = 16;
const uint32_t kHighBit = 0x80000000u;
const int kTreeLevels = 3;  // type, name, language
const uint32_t kDataAlignment = 8;

const uint32_t kIconType = 3;
const uint32_t kDialogType = 5;
const uint32_t kIconGroupType = 14;
const uint32_t kVersionType = 16;
const uint32_t kManifestType = 24;
const uint32_t kStubManifestId = 1;  // the one the loader reads for a program

// ICO files and icon groups: a 6-byte header (0, type 1, count), then
// 16-byte entries in the file, 14-byte entries (an ID for the file offset)
// in the resource.
const size_t kIconHeaderSize = 6;
const size_t kIconFileEntrySize = 16;
const size_t kIconGroupEntrySize = 14;
const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const size_t kPngWidthAt = 16;                                   // in IHDR, big-endian
const uint32_t kBitmapHeaderSizes[] = {40, 52, 56, 108, 124};  // BITMAPINFOHEADER and its successors
const unsigned kIconFullWidth = 256;                            // written as 0 in an entry

// VS_VERSIONINFO: nodes of length, value length, type, key, value,
// children, each part 32-bit aligned; a text value counts UTF-16 units.
const uint32_t kFixedInfoSignature = 0xFEEF04BD;
const size_t kFixedInfoSize = 52;
const size_t kFileVersionAt = 8;
const size_t kProductVersionAt = 16;
const size_t kNodeHeaderSize = 6;
const int kVersionNodeDepth = 4;  // root, StringFileInfo, table, string
const char16_t kStringFileInfo[] = u"StringFileInfo";
const char16_t kUsEnglishUnicodeTable[] = u"040904B0";
const size_t kMaxVersionCharacters = 256;

// A malformed image; the surface turns it into a message or a "no".
struct Malformed {
  std::string what;
};

uint32_t AlignUp(uint64_t value, uint32_t alignment) {
  return (uint32_t)((value + alignment - 1) & ~(uint64_t)(alignment - 1));
}

void Need(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t size, const char* what) {
  if (at > bytes.size() || size > bytes.size() - at) throw Malformed{std::string(what) + " lies outside the file"};
}
uint16_t Get16(const std::vector<uint8_t>& bytes, uint64_t at) {
  Need(bytes, at, 2, "a field");
  return ReadLe16(bytes.data() + at);
}
uint32_t Get32(const std::vector<uint8_t>& bytes, uint64_t at) {
  Need(bytes, at, 4, "a field");
  return ReadLe32(bytes.data() + at);
}
void Put16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) { WriteLe16(bytes.data() + at, (uint16_t)value); }
void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) { WriteLe32(bytes.data() + at, value); }
void Append16(std::vector<uint8_t>& bytes, uint32_t value) {
  bytes.resize(bytes.size() + 2);
  Put16(bytes, bytes.size() - 2, value);
}
void PadTo(std::vector<uint8_t>& bytes, uint32_t alignment) { bytes.resize(AlignUp(bytes.size(), alignment)); }

// ---- headers ----

struct Section {
  size_t header;  // file offset of the section header
  std::string name;
  uint32_t virtualSize, address, rawSize, rawPointer, flags;
  uint32_t MappedSize() const { return virtualSize ? std::min(virtualSize, rawSize) : rawSize; }
};

struct Headers {
  size_t optional = 0;
  bool plus = false;
  uint32_t directories = 0;  // file offset of the data directories
  uint32_t directoryCount = 0;
  uint32_t sectionAlignment = 0, fileAlignment = 0, headersSize = 0;
  std::vector<Section> sections;
};

bool Alignment(uint32_t value) { return value != 0 && value <= kMaxAlignment && (value & (value - 1)) == 0; }

Headers ReadHeaders(const std::vector<uint8_t>& image) {
  if (image.size() < kPeOffsetField + 4 || Get16(image, 0) != kDosMagic) throw Malformed{"no MZ header"};
  uint32_t pe = Get32(image, kPeOffsetField);
  if (Get32(image, pe) != kPeSignature) throw Malformed{"no PE header"};
  Headers h;
  h.optional = (size_t)pe + kFileHeaderEnd;
  uint16_t magic = Get16(image, h.optional), optionalSize = Get16(image, (size_t)pe + kOptionalSizeField);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) throw Malformed{"an unknown optional header"};
  h.plus = magic == kPe32PlusMagic;
  h.directories = (uint32_t)h.optional + kDirectoriesAt[h.plus];
  h.directoryCount = std::min(Get32(image, h.optional + kDirectoryCountField[h.plus]), kMaxDirectories);
  if (h.directories + 8ull * h.directoryCount > h.optional + optionalSize) throw Malformed{"a short optional header"};
  h.sectionAlignment = Get32(image, h.optional + kSectionAlignmentField);
  h.fileAlignment = Get32(image, h.optional + kFileAlignmentField);
  h.headersSize = Get32(image, h.optional + kHeadersSizeField);
  if (!Alignment(h.sectionAlignment) || !Alignment(h.fileAlignment)) throw Malformed{"alignments out of range"};
  size_t table = h.optional + optionalSize;
  for (uint16_t i = 0, count = Get16(image, (size_t)pe + kSectionCountField); i < count; i++) {
    size_t at = table + (size_t)i * kSectionHeaderSize;
    Need(image, at, kSectionHeaderSize, "the section table");
    Section s{at, std::string((const char*)&image[at], strnlen((const char*)&image[at], 8)), Get32(image, at + 8),
              Get32(image, at + 12), Get32(image, at + 16), Get32(image, at + 20), Get32(image, at + 36)};
    h.sections.push_back(s);
  }
  return h;
}

std::pair<uint32_t, uint32_t> Directory(const std::vector<uint8_t>& image, const Headers& h, size_t index) {
  if (index >= h.directoryCount) return {0, 0};
  return {Get32(image, h.directories + 8 * index), Get32(image, h.directories + 8 * index + 4)};
}

// The file offset of the bytes at rva .. rva + size, all inside one section's data.
uint64_t FileOffset(const std::vector<uint8_t>& image, const Headers& h, uint64_t rva, uint64_t size) {
  for (const Section& s : h.sections) {
    if (s.address <= rva && rva + size <= (uint64_t)s.address + s.MappedSize()) {
      Need(image, s.rawPointer + (rva - s.address), size, "resource data");
      return s.rawPointer + (rva - s.address);
    }
  }
  throw Malformed{"an address outside the sections"};
}

// The end of the last byte any header or section places in the file.
uint64_t ImageEnd(const Headers& h) {
  uint64_t end = h.headersSize;
  for (const Section& s : h.sections) {
    if (s.rawSize != 0) end = std::max(end, (uint64_t)s.rawPointer + s.rawSize);
  }
  return end;
}

// ---- the resource tree ----

// A type, name or language: an ID, or a UTF-16 name.
struct Key {
  bool named = false;
  uint32_t id = 0;
  std::u16string name;
  bool operator<(const Key& other) const {  // names first, by code units, then IDs ascending
    if (named != other.named) return named;
    return named ? name < other.name : id < other.id;
  }
  bool operator==(const Key& other) const { return !(*this < other) && !(other < *this); }
  bool Is(uint32_t wanted) const { return !named && id == wanted; }
};

struct Resource {
  Key type, name, language;
  std::vector<uint8_t> data;
  uint32_t codePage = 0;
  bool operator<(const Resource& o) const {
    return type < o.type || (type == o.type && (name < o.name || (name == o.name && language < o.language)));
  }
};

class TreeReader {
 public:
  TreeReader(const std::vector<uint8_t>& image, const Headers& h, uint32_t root) : image_(image), h_(h), root_(root) {
    for (const Section& s : h.sections) {  // each entry takes 8 bytes of its own in a tree without shared tables
      if (s.address <= root && root < (uint64_t)s.address + s.MappedSize()) {
        budget_ = (s.address + s.MappedSize() - root) / kEntrySize;
      }
    }
  }

  std::vector<Resource> Read() {
    std::vector<Resource> found;
    Key path[kTreeLevels];
    Walk(0, 0, path, found);
    std::sort(found.begin(), found.end());
    return found;
  }

 private:
  uint64_t At(uint64_t offset, uint64_t size) { return FileOffset(image_, h_, (uint64_t)root_ + offset, size); }

  void Walk(uint32_t table, int level, Key* path, std::vector<Resource>& found) {
    uint64_t at = At(table, kTableHeaderSize);
    uint32_t count = Get16(image_, at + 12) + Get16(image_, at + 14);
    for (uint32_t k = 0; k < count; k++) {
      if (budget_ == 0) throw Malformed{"more resource entries than room for them"};
      budget_--;
      uint64_t entry = At(table + kTableHeaderSize + (uint64_t)k * kEntrySize, kEntrySize);
      uint32_t name = Get32(image_, entry), target = Get32(image_, entry + 4);
      path[level] = ReadKey(name);
      bool subdirectory = (target & kHighBit) != 0;
      if (subdirectory != (level + 1 < kTreeLevels)) throw Malformed{"a resource tree not three levels deep"};
      if (subdirectory) {
        Walk(target & ~kHighBit, level + 1, path, found);
        continue;
      }
      uint64_t data = At(target, kDataEntrySize);
      Resource r{path[0], path[1], path[2], {}, Get32(image_, data + 8)};
      uint32_t size = Get32(image_, data + 4);
      uint64_t from = FileOffset(image_, h_, Get32(image_, data), size);
      r.data.assign(image_.begin() + from, image_.begin() + from + size);
      found.push_back(std::move(r));
    }
  }

  Key ReadKey(uint32_t field) {
    Key key;
    key.named = (field & kHighBit) != 0;
    if (!key.named) {
      key.id = field;
      return key;
    }
    uint64_t at = At(field & ~kHighBit, 2);
    uint16_t length = Get16(image_, at);
    at = At((field & ~kHighBit) + 2ull, 2ull * length);
    for (uint16_t i = 0; i < length; i++) key.name += (char16_t)Get16(image_, at + 2ull * i);
    return key;
  }

  const std::vector<uint8_t>& image_;
  const Headers& h_;
  uint32_t root_;
  uint64_t budget_ = 0;
};

std::vector<Resource> ReadResources(const std::vector<uint8_t>& image, const Headers& h) {
  uint32_t root = Directory(image, h, kResourceDirectory).first;
  if (root == 0) return {};
  return TreeReader(image, h, root).Read();
}

template <typename Resources>
auto Find(Resources& resources, uint32_t type, uint32_t name) -> decltype(&resources[0]) {
  for (auto& r : resources) {
    if (r.type.Is(type) && r.name.Is(name)) return &r;
  }
  return nullptr;
}

// The section's bytes for `resources` (sorted), placed at `address`.
std::vector<uint8_t> BuildSection(const std::vector<Resource>& resources, uint32_t address) {
  struct Table {
    std::vector<Key> keys;
    std::vector<size_t> targets;  // tables[] index below the language level, else resources[] index
  };
  std::vector<Table> tables(1);
  std::map<std::vector<Key>, size_t> tableOf;  // the path that leads to a table
  for (size_t i = 0; i < resources.size(); i++) {
    const Resource& r = resources[i];
    std::vector<Key> path;
    size_t table = 0;
    for (const Key& key : {r.type, r.name, r.language}) {
      bool leaf = path.size() + 1 == kTreeLevels;
      path.push_back(key);
      if (leaf) {
        tables[table].keys.push_back(key);
        tables[table].targets.push_back(i);
      } else if (!tableOf.count(path)) {
        tables[table].keys.push_back(key);
        tables[table].targets.push_back(tables.size());
        tableOf[path] = tables.size();
        tables.emplace_back();
      }
      if (!leaf) table = tableOf[path];
    }
  }
  // Tables were created type by type; breadth first puts every type's table before any language table.
  std::vector<size_t> order(1, 0), depth(tables.size(), 0);
  for (size_t i = 0; i < order.size(); i++) {
    if (depth[order[i]] + 1 == kTreeLevels) continue;
    for (size_t child : tables[order[i]].targets) depth[child] = depth[order[i]] + 1, order.push_back(child);
  }
  std::vector<uint32_t> tableAt(tables.size()), dataEntryAt(resources.size()), dataAt(resources.size());
  std::map<std::u16string, uint32_t> nameAt;
  uint32_t size = 0;
  for (size_t t : order) tableAt[t] = size, size += kTableHeaderSize + kEntrySize * (uint32_t)tables[t].keys.size();
  for (size_t i = 0; i < resources.size(); i++) dataEntryAt[i] = size, size += kDataEntrySize;
  for (const Resource& r : resources) {
    for (const Key* key : {&r.type, &r.name, &r.language}) {
      if (key->named && !nameAt.count(key->name)) nameAt[key->name] = size, size += 2 + 2 * key->name.size();
    }
  }
  for (size_t i = 0; i < resources.size(); i++) {
    dataAt[i] = size = AlignUp(size, kDataAlignment);
    size += resources[i].data.size();
  }
  std::vector<uint8_t> out(size);
  for (size_t t : order) {
    const Table& table = tables[t];
    size_t named = std::count_if(table.keys.begin(), table.keys.end(), [](const Key& k) { return k.named; });
    Put16(out, tableAt[t] + 12, named);
    Put16(out, tableAt[t] + 14, table.keys.size() - named);
    for (size_t k = 0; k < table.keys.size(); k++) {
      const Key& key = table.keys[k];
      bool leaf = depth[t] + 1 == kTreeLevels;
      uint32_t entry = tableAt[t] + kTableHeaderSize + kEntrySize * k;
      Put32(out, entry, key.named ? kHighBit | nameAt[key.name] : key.id);
      Put32(out, entry + 4, leaf ? dataEntryAt[table.targets[k]] : kHighBit | tableAt[table.targets[k]]);
    }
  }
  for (size_t i = 0; i < resources.size(); i++) {
    Put32(out, dataEntryAt[i], address + dataAt[i]);
    Put32(out, dataEntryAt[i] + 4, resources[i].data.size());
    Put32(out, dataEntryAt[i] + 8, resources[i].codePage);
    std::copy(resources[i].data.begin(), resources[i].data.end(), out.begin() + dataAt[i]);
  }
  for (const auto& [name, at] : nameAt) {
    Put16(out, at, name.size());
    for (size_t c = 0; c < name.size(); c++) Put16(out, at + 2 + 2 * c, name[c]);
  }
  return out;
}

// The PE checksum: the file's 16-bit words summed with end-around carry,
// the checksum field taken as zero, plus the file's length.
uint32_t ImageChecksum(std::vector<uint8_t> image, size_t field) {
  Put32(image, field, 0);
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return (uint32_t)sum + (uint32_t)image.size();
}

// The image with its resource section replaced by `section`: the sections
// after it move by whole alignments when it outgrows its place.
std::vector<uint8_t> ReplaceSection(const std::vector<uint8_t>& image, const Headers& h,
                                    const std::vector<uint8_t>& section) {
  uint32_t root = Directory(image, h, kResourceDirectory).first;
  auto rsrc = std::find_if(h.sections.begin(), h.sections.end(), [&](const Section& s) { return s.address == root; });
  if (rsrc == h.sections.end()) throw pack::PackError{"the stub's resources do not begin a section"};
  uint64_t oldEnd = (uint64_t)rsrc->rawPointer + rsrc->rawSize;
  if (oldEnd > image.size() || rsrc->rawPointer < h.sections.back().header + kSectionHeaderSize) {
    throw Malformed{"a resource section overlapping the headers or past the file's end"};
  }
  std::vector<const Section*> later;
  for (const Section& s : h.sections) {
    bool before = s.rawSize == 0 || (uint64_t)s.rawPointer + s.rawSize <= rsrc->rawPointer;
    if (&s == &*rsrc || (s.address < rsrc->address && before)) {
      continue;
    }
    if (s.name != kMovableSection || s.address < rsrc->address || s.rawPointer < oldEnd) {
      throw pack::PackError{"the stub's section " + s.name + " follows its resources and cannot be moved"};
    }
    later.push_back(&s);
  }
  uint32_t rawSize = std::max(AlignUp(section.size(), h.fileAlignment), rsrc->rawSize);
  uint32_t rawShift = rawSize - rsrc->rawSize, addressShift = 0;
  for (const Section* s : later) {
    uint64_t needed = (uint64_t)rsrc->address + AlignUp(section.size(), h.sectionAlignment);
    if (needed > s->address) addressShift = std::max(addressShift, AlignUp(needed - s->address, h.sectionAlignment));
  }
  std::vector<uint8_t> out(image.begin(), image.begin() + rsrc->rawPointer);
  out.insert(out.end(), section.begin(), section.end());
  out.resize((size_t)rsrc->rawPointer + rawSize);
  out.insert(out.end(), image.begin() + oldEnd, image.end());

  Put32(out, rsrc->header + 8, section.size());
  Put32(out, rsrc->header + 16, rawSize);
  for (size_t i = 0; i < h.directoryCount; i++) {
    uint32_t at = h.directories + 8 * i, rva = Get32(out, at);
    for (const Section* s : later) {
      uint64_t end = (uint64_t)s->address + std::max(s->virtualSize, s->rawSize);
      if (i != kSecurityDirectory && rva >= s->address && rva < end) {
        Put32(out, at, rva + addressShift);
      }
    }
  }
  Put32(out, h.directories + 8 * kResourceDirectory + 4, section.size());
  uint32_t imageSize = 0;
  for (const Section& s : h.sections) {
    bool moved = std::find(later.begin(), later.end(), &s) != later.end();
    if (moved) Put32(out, s.header + 12, s.address + addressShift), Put32(out, s.header + 20, s.rawPointer + rawShift);
    uint32_t extent = &s == &*rsrc ? section.size() : s.virtualSize ? s.virtualSize : s.rawSize;
    imageSize = std::max(imageSize, AlignUp((uint64_t)Get32(out, s.header + 12) + extent, h.sectionAlignment));
  }
  Put32(out, h.optional + kImageSizeField, imageSize);
  if (rsrc->flags & kInitializedDataFlag) {
    Put32(out, h.optional + kInitializedDataField, Get32(out, h.optional + kInitializedDataField) + rawShift);
  }
  Put32(out, h.optional + kChecksumField, ImageChecksum(out, h.optional + kChecksumField));
  return out;
}

// ---- icons ----

struct IconImage {
  std::vector<uint8_t> entry;  // the 12 bytes an ICO entry and an icon group entry share
  std::vector<uint8_t> data;
};

std::vector<IconImage> ReadIconFile(const std::vector<uint8_t>& ico) {
  auto fail = [](const std::string& why) { return pack::PackError{"the icon file " + why}; };
  if (ico.size() < kIconHeaderSize || Get16(ico, 0) != 0 || Get16(ico, 2) != 1) throw fail("is not an .ico file");
  uint16_t count = Get16(ico, 4);
  if (count == 0) throw fail("holds no image");
  size_t directoryEnd = kIconHeaderSize + count * kIconFileEntrySize;
  if (directoryEnd > ico.size()) throw fail("is too short for its " + std::to_string(count) + " images");
  std::vector<IconImage> images;
  for (uint16_t i = 0; i < count; i++) {
    size_t entry = kIconHeaderSize + i * kIconFileEntrySize;
    uint32_t size = Get32(ico, entry + 8), offset = Get32(ico, entry + 12);
    std::string which = "image " + std::to_string(i + 1);
    if (size == 0 || offset < directoryEnd || offset > ico.size() || size > ico.size() - offset) {
      throw fail(which + " lies outside the file");
    }
    const uint8_t* data = &ico[offset];
    uint64_t width = 0;
    if (size >= kPngWidthAt + 4 && std::equal(kPngSignature, kPngSignature + 8, data)) {
      width = (uint32_t)data[kPngWidthAt] << 24 | data[kPngWidthAt + 1] << 16 | data[kPngWidthAt + 2] << 8 |
              data[kPngWidthAt + 3];
    } else if (size >= 8 && std::count(std::begin(kBitmapHeaderSizes), std::end(kBitmapHeaderSizes),
                                       Get32(ico, offset)) && Get32(ico, offset) <= size) {
      width = Get32(ico, offset + 4);
    } else {
      throw fail(which + " is neither PNG nor a bitmap");
    }
    unsigned stated = ico[entry] ? ico[entry] : kIconFullWidth;
    if (width != stated) {
      throw fail(which + " is " + std::to_string(width) + " pixels wide, its entry says " + std::to_string(stated));
    }
    images.push_back({std::vector<uint8_t>(ico.begin() + entry, ico.begin() + entry + 12),
                      std::vector<uint8_t>(data, data + size)});
  }
  return images;
}

// The icon IDs an icon group lists.
std::set<uint32_t> GroupMembers(const Resource& group) {
  std::set<uint32_t> ids;
  for (uint16_t i = 0, count = Get16(group.data, 4); i < count; i++) {
    ids.insert(Get16(group.data, kIconHeaderSize + i * kIconGroupEntrySize + 12));
  }
  return ids;
}

void ReplaceIcon(std::vector<Resource>& resources, const std::vector<IconImage>& images) {
  const Resource* old = Find(resources, kIconGroupType, IDI_APPLICATION_ICON);
  Key language = old->language;
  std::set<uint32_t> dropped = GroupMembers(*old), kept;
  for (const Resource& r : resources) {
    if (!r.type.Is(kIconGroupType) || r.name.Is(IDI_APPLICATION_ICON)) continue;
    for (uint32_t id : GroupMembers(r)) kept.insert(id);
  }
  resources.erase(std::remove_if(resources.begin(), resources.end(), [&](const Resource& r) {
    return (r.type.Is(kIconGroupType) && r.name.Is(IDI_APPLICATION_ICON)) ||
           (r.type.Is(kIconType) && !r.name.named && dropped.count(r.name.id) && !kept.count(r.name.id));
  }), resources.end());
  std::set<uint32_t> used;
  for (const Resource& r : resources) if (r.type.Is(kIconType) && !r.name.named) used.insert(r.name.id);
  Resource group{Key{false, kIconGroupType, {}}, Key{false, IDI_APPLICATION_ICON, {}}, language, {}, 0};
  Append16(group.data, 0);
  Append16(group.data, 1);
  Append16(group.data, images.size());
  uint32_t id = 0;
  for (const IconImage& image : images) {
    while (used.count(++id)) {
    }
    if (id > 0xFFFF) throw pack::PackError{"the icon file holds more images than a stub can take"};
    group.data.insert(group.data.end(), image.entry.begin(), image.entry.end());
    Append16(group.data, id);
    resources.push_back({Key{false, kIconType, {}}, Key{false, id, {}}, language, image.data, 0});
  }
  resources.push_back(std::move(group));
}

// ---- version information ----

// The code points of UTF-8 text by the platform's strict rule (no overlong
// forms, surrogates or code points past U+10FFFF); false when the text is
// not such UTF-8 or holds a NUL.
bool CodePoints(const std::string& text, std::u32string* out) {
  if (text.find('\0') != std::string::npos) return false;
  for (const unsigned char* p = (const unsigned char*)text.c_str(); *p != 0;) {
    uint32_t c;
    int length = DecodeUtf8(p, &c);
    if (length == 0) return false;
    out->push_back(c);
    p += length;
  }
  return true;
}

std::u16string Utf16(const std::string& utf8) {
  std::u32string points;
  CodePoints(utf8, &points);
  std::u16string out;
  for (char32_t c : points) {
    if (c < 0x10000) {
      out += (char16_t)c;
    } else {
      out += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
      out += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

struct VersionNode {
  std::u16string key;
  uint16_t valueLength = 0, type = 0;
  std::vector<uint8_t> value;
  std::vector<VersionNode> children;
};

VersionNode ReadVersionNode(const std::vector<uint8_t>& block, size_t at, size_t end, int depth) {
  if (depth > kVersionNodeDepth) throw Malformed{"version information nested too deep"};
  VersionNode node;
  uint16_t length = Get16(block, at);
  if (length < kNodeHeaderSize || at + length > end) throw Malformed{"a version node longer than its parent"};
  end = at + length;
  node.valueLength = Get16(block, at + 2);
  node.type = Get16(block, at + 4);
  size_t here = at + kNodeHeaderSize;
  for (uint16_t c; here + 2 <= end && (c = Get16(block, here)) != 0; here += 2) node.key += (char16_t)c;
  here = std::min<size_t>(AlignUp(here + 2, 4), end);
  size_t valueEnd = std::min<size_t>(here + (node.type == 1 ? 2u : 1u) * node.valueLength, end);
  node.value.assign(block.begin() + here, block.begin() + valueEnd);
  for (here = AlignUp(valueEnd, 4); here + kNodeHeaderSize <= end; here = AlignUp(here + Get16(block, here), 4)) {
    node.children.push_back(ReadVersionNode(block, here, end, depth + 1));
  }
  return node;
}

void WriteVersionNode(const VersionNode& node, std::vector<uint8_t>& out) {
  size_t start = out.size();
  Append16(out, 0);
  Append16(out, node.valueLength);
  Append16(out, node.type);
  for (char16_t c : node.key + u'\0') Append16(out, c);
  PadTo(out, 4);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    PadTo(out, 4);
    WriteVersionNode(child, out);
  }
  Put16(out, start, out.size() - start);
}

VersionNode& Child(VersionNode& parent, const std::u16string& key) {
  for (VersionNode& child : parent.children) {
    if (child.key == key) return child;
  }
  parent.children.push_back(VersionNode{key, 0, 1, {}, {}});
  return parent.children.back();
}

// "1", "1.2", "1.2.3" or "1.2.3.4" with parts 0..65535, as the two 32-bit halves; false otherwise.
bool DottedVersion(const std::string& text, uint32_t* high, uint32_t* low) {
  uint32_t parts[4] = {0, 0, 0, 0};
  size_t count = 0, at = 0;
  do {
    size_t end = text.find('.', at);
    std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (count == 4 || part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(part) > 0xFFFF) {
      return false;
    }
    parts[count++] = std::stoul(part);
    at = end == std::string::npos ? text.size() + 1 : end + 1;
  } while (at <= text.size());
  *high = parts[0] << 16 | parts[1];
  *low = parts[2] << 16 | parts[3];
  return true;
}

void EditVersion(std::vector<Resource>& resources, const std::vector<std::pair<std::string, std::string>>& strings) {
  auto it = std::find_if(resources.begin(), resources.end(), [](const Resource& r) { return r.type.Is(kVersionType); });
  if (it == resources.end()) throw pack::PackError{"the stub has no version information to edit"};
  VersionNode root = ReadVersionNode(it->data, 0, it->data.size(), 1);
  if (root.value.size() < kFixedInfoSize || Get32(root.value, 0) != kFixedInfoSignature) {
    throw Malformed{"version information without its fixed part"};
  }
  VersionNode& stringInfo = Child(root, kStringFileInfo);
  if (stringInfo.children.empty()) stringInfo.children.push_back(VersionNode{kUsEnglishUnicodeTable, 0, 1, {}, {}});
  for (const auto& [key, value] : strings) {
    std::string problem = VersionStringProblem(key, value);
    if (!problem.empty()) throw pack::PackError{"version string " + key + ": " + problem};
    VersionNode& node = Child(stringInfo.children[0], Utf16(key));
    std::u16string text = Utf16(value) + u'\0';
    node.type = 1;
    node.valueLength = text.size();
    node.value.clear();
    for (char16_t c : text) Append16(node.value, c);
    uint32_t high, low;
    size_t field = key == "FileVersion" ? kFileVersionAt : key == "ProductVersion" ? kProductVersionAt : 0;
    if (field && DottedVersion(value, &high, &low)) Put32(root.value, field, high), Put32(root.value, field + 4, low);
  }
  it->data.clear();
  WriteVersionNode(root, it->data);
}

// ---- manifests ----

// Where the value of the level attribute of requestedExecutionLevel lies in a manifest: [first, second); npos when
// there is none. Comments are skipped; the element may carry a namespace prefix.
std::pair<size_t, size_t> LevelAttribute(const std::string& xml) {
  const size_t none = std::string::npos;
  const char kBlanks[] = " \t\r\n";
  const std::string element = "requestedExecutionLevel";
  for (size_t at = xml.find('<'); at != none; at = xml.find('<', at + 1)) {
    if (xml.compare(at, 4, "<!--") == 0) {
      if ((at = xml.find("-->", at)) == none) break;
      continue;
    }
    size_t end = xml.find_first_of(" \t\r\n/>", at);
    if (end == none) break;
    std::string name = xml.substr(at + 1, end - at - 1);
    if (name != element && !(name.size() > element.size() && name.compare(name.size() - element.size() - 1,
                                                                             none, ":" + element) == 0)) {
      continue;
    }
    for (size_t here = end;;) {  // name = "value" pairs up to the tag's end
      here = xml.find_first_not_of(kBlanks, here);
      if (here == none || xml[here] == '/' || xml[here] == '>') break;
      size_t nameEnd = xml.find_first_of(" \t\r\n=/>", here);
      size_t equals = nameEnd == none ? none : xml.find_first_not_of(kBlanks, nameEnd);
      size_t quote = equals == none || xml[equals] != '=' ? none : xml.find_first_not_of(kBlanks, equals + 1);
      if (quote == none || (xml[quote] != '"' && xml[quote] != '\'')) break;
      size_t close = xml.find(xml[quote], quote + 1);
      if (close == none) break;
      if (xml.compare(here, nameEnd - here, "level") == 0) return {quote + 1, close};
      here = close + 1;
    }
  }
  return {none, none};
}

const Resource* FirstManifest(const std::vector<Resource>& resources) {
  for (const Resource& r : resources) {
    if (r.type.Is(kManifestType)) return &r;
  }
  return nullptr;
}

void EditManifest(std::vector<Resource>& resources, const std::string& level) {
  Resource* found = Find(resources, kManifestType, kStubManifestId);
  if (found == nullptr) throw pack::PackError{"the stub has no manifest to edit"};
  Resource& manifest = *found;
  std::string xml(manifest.data.begin(), manifest.data.end());
  std::pair<size_t, size_t> value = LevelAttribute(xml);
  if (value.first == std::string::npos) throw pack::PackError{"the stub's manifest requests no execution level"};
  xml.replace(value.first, value.second - value.first, level);
  manifest.data.assign(xml.begin(), xml.end());
}

bool OneOf(const std::string& text, const char* const* list, size_t count) {
  return std::find(list, list + count, text) != list + count;
}

}  // namespace

std::string VersionStringProblem(const std::string& key, const std::string& value) {
  if (!OneOf(key, kVersionKeys, std::size(kVersionKeys))) {
    std::string known;
    for (const char* k : kVersionKeys) known += (known.empty() ? "" : ", ") + std::string(k);
    return "unknown key (the keys are " + known + ")";
  }
  std::u32string points;
  if (value.find('\0') != std::string::npos) return "holds a NUL character";
  if (!CodePoints(value, &points)) return "not valid UTF-8 (or a surrogate, or past U+10FFFF)";
  if (points.size() > kMaxVersionCharacters) {
    return "longer than " + std::to_string(kMaxVersionCharacters) + " characters";
  }
  return "";
}

std::string StubProblem(const std::vector<uint8_t>& image) {
  Headers h;
  std::vector<Resource> resources;
  try {
    h = ReadHeaders(image);
  } catch (const Malformed& m) {
    return "not a Windows executable (" + m.what + ")";
  }
  try {
    resources = ReadResources(image, h);
  } catch (const Malformed& m) {
    return "its resources cannot be read (" + m.what + ")";
  }
  const std::pair<uint32_t, uint32_t> ours[] = {{kDialogType, IDD_MAIN}, {kDialogType, IDD_REPLACE},
                                                {kDialogType, IDD_BROWSE}, {kIconGroupType, IDI_APPLICATION_ICON}};
  for (const auto& [type, name] : ours) {
    if (Find(resources, type, name) == nullptr) {
      return "not a self-extractor stub (it has no " + std::string(type == kDialogType ? "dialog " : "icon group ") +
             std::to_string(name) + ")";
    }
  }
  try {
    if (Directory(image, h, kSecurityDirectory).second != 0) {
      return "it is signed: sign the self-extractor after packing instead";
    }
  } catch (const Malformed& m) {
    return "not a Windows executable (" + m.what + ")";
  }
  if (image.size() > ImageEnd(h)) return "data follows the image's last section (is it a self-extractor already?)";
  return "";
}

std::vector<uint8_t> EditStub(const std::vector<uint8_t>& image, const StubEdits& edits) {
  std::string problem = StubProblem(image);
  if (!problem.empty()) throw pack::PackError{"the stub: " + problem};
  std::vector<IconImage> icon;
  if (!edits.icon.empty()) icon = ReadIconFile(edits.icon);  // its own messages, not the stub's
  if (!edits.executionLevel.empty() && !OneOf(edits.executionLevel, kExecutionLevels, std::size(kExecutionLevels))) {
    throw pack::PackError{"unknown execution level '" + edits.executionLevel + "'"};
  }
  try {
    Headers h = ReadHeaders(image);
    std::vector<Resource> resources = ReadResources(image, h);
    if (!icon.empty()) ReplaceIcon(resources, icon);
    if (!edits.versionStrings.empty()) EditVersion(resources, edits.versionStrings);
    if (!edits.executionLevel.empty()) EditManifest(resources, edits.executionLevel);
    std::sort(resources.begin(), resources.end());
    return ReplaceSection(image, h, BuildSection(resources, Directory(image, h, kResourceDirectory).first));
  } catch (const Malformed& m) {
    throw pack::PackError{"the stub's resources cannot be edited (" + m.what + ")"};
  }
}

std::string ManifestExecutionLevel(const std::vector<uint8_t>& image) {
  try {
    Headers h = ReadHeaders(image);
    std::vector<Resource> resources = ReadResources(image, h);
    const Resource* manifest = FirstManifest(resources);
    if (manifest == nullptr) return "";
    std::string xml(manifest->data.begin(), manifest->data.end());
    std::pair<size_t, size_t> value = LevelAttribute(xml);
    if (value.first == std::string::npos) return "";
    std::string level = xml.substr(value.first, value.second - value.first);
    return OneOf(level, kExecutionLevels, std::size(kExecutionLevels)) ? level : "";
  } catch (const Malformed&) {
    return "";
  }
}

}  // namespace pe
