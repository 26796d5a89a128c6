// exif.cpp - EXIF blocks: the tags the tool updates in place, and EXIF in
// TIFF files, read out of a file's directories into a block and written
// from a block into a file's first directory.
#include "exif.h"

#include <string.h>

#include <algorithm>
#include <set>
#include <vector>

namespace polarmosaic {

namespace {

constexpr uint16_t kOrientation = 0x0112;
constexpr uint16_t kExifPointer = 0x8769;
constexpr uint16_t kGpsPointer = 0x8825;
constexpr uint16_t kInteropPointer = 0xA005;
constexpr uint16_t kPixelXDimension = 0xA002, kPixelYDimension = 0xA003;
constexpr uint16_t kTypeShort = 3, kTypeLong = 4, kTypeIfd = 13, kTypeLong8 = 16, kTypeIfd8 = 18;

// Bytes taken from a file at most, entries and values together: an EXIF
// block is small (JPEG caps it at 64 KiB), and a hostile file may point many
// entries at the same large run.
constexpr uint64_t kValueBudget = uint64_t(1) << 20;
// Entries looked at, over every directory of a block (a 64 KiB block holds
// at most 5461).
constexpr uint64_t kEntryBudget = uint64_t(1) << 15;

// The tags EXIF defines for the first directory; the file's own layout tags
// (size, strips, compression, colour map, ...) never travel with the EXIF.
bool IsExifRootTag(uint16_t tag) {
    switch (tag) {
        case 0x000B:  // ProcessingSoftware
        case 0x010E:  // ImageDescription
        case 0x010F:  // Make
        case 0x0110:  // Model
        case kOrientation:
        case 0x011A:  // XResolution
        case 0x011B:  // YResolution
        case 0x0128:  // ResolutionUnit
        case 0x012D:  // TransferFunction
        case 0x0131:  // Software
        case 0x0132:  // DateTime
        case 0x013B:  // Artist
        case 0x013C:  // HostComputer
        case 0x013E:  // WhitePoint
        case 0x013F:  // PrimaryChromaticities
        case 0x4746:  // Rating
        case 0x4749:  // RatingPercent
        case 0x8298:  // Copyright
        case 0xC4A5:  // PrintImageMatching
        case 0x9C9B:  // XPTitle .. XPSubject
        case 0x9C9C:
        case 0x9C9D:
        case 0x9C9E:
        case 0x9C9F:
        case kExifPointer:
        case kGpsPointer:
            return true;
        default:
            return false;
    }
}

bool IsPointer(uint16_t parent, uint16_t tag) {
    return (parent == 0 && (tag == kExifPointer || tag == kGpsPointer)) ||
           (parent == kExifPointer && tag == kInteropPointer);
}

uint64_t TypeSize(uint16_t type) {
    switch (type) {
        case 1:  // BYTE
        case 2:  // ASCII
        case 6:  // SBYTE
        case 7:  // UNDEFINED
            return 1;
        case 3:  // SHORT
        case 8:  // SSHORT
            return 2;
        case 4:   // LONG
        case 9:   // SLONG
        case 11:  // FLOAT
        case kTypeIfd:
            return 4;
        case 5:   // RATIONAL
        case 10:  // SRATIONAL
        case 12:  // DOUBLE
        case kTypeLong8:
        case 17:  // SLONG8
        case kTypeIfd8:
            return 8;
        default:
            return 0;
    }
}

struct Layout {
    bool little;
    bool big;  // BigTIFF: 8-byte counts and offsets
    int FieldSize() const { return big ? 8 : 4; }
    int EntrySize() const { return big ? 20 : 12; }
    int CountSize() const { return big ? 8 : 2; }
};

struct Entry {
    uint16_t tag;
    uint16_t type;
    uint64_t count;
    // The value's bytes in the file's byte order; for a raw entry, its value
    // field as it stands (an offset into a file whose data stays put).
    std::string value;
    bool raw;
    bool pointer;  // to a sub-directory, held in sub
    std::vector<Entry> sub;
};

bool LessTag(const Entry& a, const Entry& b) { return a.tag < b.tag; }

// Writes v in n bytes of the given byte order.
void Encode(uint64_t v, int n, bool little, char* out) {
    for (int i = 0; i < n; ++i) out[i] = static_cast<char>(v >> (8 * (little ? i : n - 1 - i)));
}

bool ReadLayout(const uint8_t* data, uint64_t size, Layout* layout, uint64_t* first) {
    if (size < 8) return false;
    if (memcmp(data, "II", 2) == 0) {
        layout->little = true;
    } else if (memcmp(data, "MM", 2) == 0) {
        layout->little = false;
    } else {
        return false;
    }
    uint32_t magic = layout->little ? data[2] | data[3] << 8 : data[2] << 8 | data[3];
    if (magic != 42 && magic != 43) return false;
    layout->big = magic == 43;
    if (layout->big && size < 16) return false;
    uint64_t at = layout->big ? 8 : 4;
    int bytes = layout->big ? 8 : 4;
    *first = 0;
    for (int i = 0; i < bytes; ++i) {
        int k = layout->little ? bytes - 1 - i : i;
        *first = *first << 8 | data[at + k];
    }
    return true;
}

// The work of reading one block's directories, bounded: a few KB may
// otherwise describe billions of entries (a thousand pointers to one
// directory of a thousand pointers to another).
struct Walk {
    uint64_t bytes_left = kValueBudget;
    uint64_t entries_left = kEntryBudget;
    std::set<uint64_t> seen;  // directories read, by offset
    bool exceeded = false;    // a bound was reached: the block is dropped
};

class Reader {
public:
    Reader(const uint8_t* data, uint64_t size, Layout layout) : data_(data), size_(size), layout_(layout) {}

    bool Has(uint64_t at, uint64_t n) const { return at <= size_ && n <= size_ - at; }

    uint64_t Unsigned(uint64_t at, int bytes) const {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            int k = layout_.little ? bytes - 1 - i : i;
            v = v << 8 | data_[at + k];
        }
        return v;
    }

    // True when the directory at offset lies within the data, with its
    // number of entries.
    bool Fits(uint64_t offset, uint64_t* entries) const {
        if (!Has(offset, layout_.CountSize())) return false;
        *entries = Unsigned(offset, layout_.CountSize());
        return *entries <= 0xFFFF &&
               Has(offset + layout_.CountSize(), *entries * layout_.EntrySize() + layout_.FieldSize());
    }

    // Offset of the entry for tag in the directory at offset, or 0.
    uint64_t Find(uint64_t offset, uint16_t tag) const {
        uint64_t n = 0;
        if (!Fits(offset, &n)) return 0;
        for (uint64_t i = 0; i < n; ++i) {
            uint64_t at = offset + layout_.CountSize() + i * layout_.EntrySize();
            if (Unsigned(at, 2) == tag) return at;
        }
        return 0;
    }

    // Reads the directory at offset. A root read keeps only EXIF tags; a raw
    // read keeps every entry's value field as it stands. Sub-directories are
    // followed to a depth of two (root, Exif, interoperability), each
    // directory once (a second pointer to it is left out). False when the
    // directory cannot be read, or when the walk's bounds are reached
    // (walk->exceeded is then set).
    bool Directory(uint64_t offset, uint16_t parent, bool raw, Walk* walk, std::vector<Entry>* out,
                   uint64_t* next) const {
        const int field = layout_.FieldSize();
        uint64_t n = 0;
        if (!Fits(offset, &n) || !walk->seen.insert(offset).second) return false;
        if (n > walk->entries_left) {
            walk->exceeded = true;
            return false;
        }
        walk->entries_left -= n;
        uint64_t first = offset + layout_.CountSize();
        for (uint64_t i = 0; i < n; ++i) {
            uint64_t at = first + i * layout_.EntrySize();
            Entry e;
            e.tag = static_cast<uint16_t>(Unsigned(at, 2));
            e.type = static_cast<uint16_t>(Unsigned(at + 2, 2));
            e.count = Unsigned(at + 4, layout_.big ? 8 : 4);
            e.raw = raw;
            e.pointer = !raw && IsPointer(parent, e.tag);
            uint64_t value_at = at + (layout_.big ? 12 : 8);
            if (raw) {
                e.value.assign(reinterpret_cast<const char*>(data_ + value_at), field);
                out->push_back(std::move(e));
                continue;
            }
            if (parent == 0 && !IsExifRootTag(e.tag)) continue;
            uint64_t size = TypeSize(e.type);
            // Offsets into the source mean nothing once moved, and BigTIFF's
            // 8-byte integers have no place in a block.
            if (size == 0 || (!e.pointer && e.type >= kTypeIfd)) continue;
            if (e.count == 0 || e.count > kValueBudget / size) continue;
            uint64_t bytes = size * e.count;
            uint64_t from = value_at;
            if (bytes > static_cast<uint64_t>(field)) {
                from = Unsigned(value_at, field);
                if (!Has(from, bytes)) continue;
            }
            // Every entry kept costs its place in a directory, and its value
            // when that does not fit the entry.
            uint64_t cost = 12 + (bytes > 4 ? bytes : 0);
            if (cost > walk->bytes_left) {
                walk->exceeded = true;
                return false;
            }
            walk->bytes_left -= cost;
            if (e.pointer) {
                if (e.count != 1 || (e.type != kTypeLong && e.type != kTypeIfd && e.type != kTypeLong8 &&
                                     e.type != kTypeIfd8)) {
                    continue;
                }
                if (!Directory(Unsigned(from, static_cast<int>(bytes)), e.tag, false, walk, &e.sub,
                               nullptr)) {
                    if (walk->exceeded) return false;
                    continue;
                }
            } else {
                e.value.assign(reinterpret_cast<const char*>(data_ + from), static_cast<size_t>(bytes));
            }
            out->push_back(std::move(e));
        }
        if (next) *next = Unsigned(first + n * layout_.EntrySize(), field);
        // Directories are sorted by tag; a careless writer's may not be.
        if (!raw) std::stable_sort(out->begin(), out->end(), LessTag);
        return true;
    }

private:
    const uint8_t* data_;
    uint64_t size_;
    Layout layout_;
};

// Lays out directories after `base` bytes of file: values and
// sub-directories first, so every offset is known when its directory is
// written.
class Writer {
public:
    Writer(Layout layout, uint64_t base) : layout_(layout), base_(base) {}

    std::string& bytes() { return bytes_; }
    uint64_t End() const { return base_ + bytes_.size(); }

    void Put(uint64_t v, int n) {
        bytes_.resize(bytes_.size() + n);
        Encode(v, n, layout_.little, &bytes_[bytes_.size() - n]);
    }

    // Entries must be sorted by tag. Returns the directory's offset.
    uint64_t Directory(const std::vector<Entry>& entries, uint64_t next) {
        const int field = layout_.FieldSize();
        std::vector<std::string> fields(entries.size());
        std::vector<uint16_t> types(entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            types[i] = e.type;
            if (e.raw) {
                fields[i] = e.value;
                continue;
            }
            Writer field_writer(layout_, 0);
            if (e.pointer) {
                types[i] = layout_.big ? kTypeIfd8 : kTypeLong;
                field_writer.Put(Directory(e.sub, 0), field);
            } else if (e.value.size() <= static_cast<size_t>(field)) {
                field_writer.bytes() = e.value;
            } else {
                Align();
                field_writer.Put(End(), field);
                bytes_ += e.value;
            }
            fields[i] = field_writer.bytes();
            fields[i].resize(field, '\0');
        }
        Align();
        uint64_t offset = End();
        Put(entries.size(), layout_.CountSize());
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            Put(e.tag, 2);
            Put(types[i], 2);
            uint64_t count = e.raw ? e.count : e.pointer ? 1 : e.value.size() / TypeSize(e.type);
            Put(count, layout_.big ? 8 : 4);
            bytes_ += fields[i];
        }
        Put(next, field);
        return offset;
    }

private:
    // TIFF offsets are even.
    void Align() {
        if (End() % 2) bytes_.push_back('\0');
    }

    Layout layout_;
    uint64_t base_;
    std::string bytes_;
};

const uint8_t* Bytes(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

// An EXIF block (always classic TIFF) to read and patch in place.
bool OpenBlock(const std::string& exif, Layout* layout, uint64_t* first) {
    return ReadLayout(Bytes(exif), exif.size(), layout, first) && !layout->big;
}

// Offset of the first directory's Orientation entry (SHORT), or 0.
uint64_t OrientationEntry(const Reader& reader, uint64_t first) {
    uint64_t entry = reader.Find(first, kOrientation);
    return entry && reader.Unsigned(entry + 2, 2) == kTypeShort ? entry : 0;
}

}  // namespace

int ExifOrientation(const std::string& exif) {
    Layout layout;
    uint64_t first = 0;
    if (!OpenBlock(exif, &layout, &first)) return 1;
    Reader reader(Bytes(exif), exif.size(), layout);
    uint64_t entry = OrientationEntry(reader, first);
    uint64_t value = entry ? reader.Unsigned(entry + 8, 2) : 1;
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
}

void SetExifOrientation(std::string* exif, int orientation) {
    Layout layout;
    uint64_t first = 0;
    if (!OpenBlock(*exif, &layout, &first)) return;
    uint64_t entry = OrientationEntry(Reader(Bytes(*exif), exif->size(), layout), first);
    if (entry) Encode(static_cast<uint64_t>(orientation), 2, layout.little, &(*exif)[entry + 8]);
}

void SetExifPixelSize(std::string* exif, int width, int height) {
    Layout layout;
    uint64_t first = 0;
    if (!OpenBlock(*exif, &layout, &first)) return;
    Reader reader(Bytes(*exif), exif->size(), layout);
    uint64_t pointer = reader.Find(first, kExifPointer);
    if (!pointer || reader.Unsigned(pointer + 2, 2) != kTypeLong) return;
    const uint16_t tags[2] = {kPixelXDimension, kPixelYDimension};
    const int sizes[2] = {width, height};
    for (int k = 0; k < 2; ++k) {
        uint64_t entry = reader.Find(reader.Unsigned(pointer + 8, 4), tags[k]);
        uint64_t type = entry ? reader.Unsigned(entry + 2, 2) : 0;
        if ((type != kTypeShort && type != kTypeLong) || reader.Unsigned(entry + 4, 4) != 1) continue;
        // Sizes fit either type; the entry keeps its own.
        Encode(static_cast<uint64_t>(sizes[k]), type == kTypeShort ? 2 : 4, layout.little,
               &(*exif)[entry + 8]);
    }
}

void UnlinkExifThumbnail(std::string* exif) {
    Layout layout;
    uint64_t first = 0, entries = 0;
    if (!OpenBlock(*exif, &layout, &first) ||
        !Reader(Bytes(*exif), exif->size(), layout).Fits(first, &entries)) {
        return;
    }
    Encode(0, 4, layout.little, &(*exif)[first + 2 + 12 * entries]);
}

std::string ExifFromTiff(const uint8_t* data, size_t size, bool* too_large) {
    if (too_large) *too_large = false;
    Layout layout;
    uint64_t first = 0;
    if (!ReadLayout(data, size, &layout, &first)) return std::string();
    Reader reader(data, size, layout);
    std::vector<Entry> entries;
    Walk walk;
    if (!reader.Directory(first, 0, false, &walk, &entries, nullptr)) {
        if (too_large) *too_large = walk.exceeded;
        return std::string();
    }
    bool any = false;
    for (const Entry& e : entries) {
        // Every TIFF has an orientation and most a resolution: alone they
        // are no EXIF worth carrying.
        any = any || (e.tag != kOrientation && e.tag != 0x011A && e.tag != 0x011B && e.tag != 0x0128);
    }
    if (!any) return std::string();
    Layout block_layout = {layout.little, false};
    Writer writer(block_layout, 0);
    writer.bytes().assign(layout.little ? "II*\0" : "MM\0*", 4);
    writer.Put(0, 4);
    uint64_t root = writer.Directory(entries, 0);
    std::string block = writer.bytes();
    Writer header(block_layout, 0);
    header.Put(root, 4);
    block.replace(4, 4, header.bytes());
    return block;
}

bool ExifIsLittleEndian(const std::string& exif) { return exif.compare(0, 2, "II") == 0; }

bool AddExifToTiff(const std::string& exif, ByteBuffer* tiff, bool* too_large) {
    if (too_large) *too_large = false;
    Layout exif_layout, tiff_layout;
    uint64_t exif_first = 0, tiff_first = 0;
    const uint8_t* exif_data = Bytes(exif);
    if (!ReadLayout(exif_data, exif.size(), &exif_layout, &exif_first) ||
        !ReadLayout(tiff->data(), tiff->size(), &tiff_layout, &tiff_first) ||
        exif_layout.little != tiff_layout.little || exif_layout.big) {
        return false;
    }
    std::vector<Entry> own, added;
    uint64_t next = 0;
    Walk own_walk, walk;
    if (!Reader(tiff->data(), tiff->size(), tiff_layout)
             .Directory(tiff_first, 0, true, &own_walk, &own, &next)) {
        return false;
    }
    if (!Reader(exif_data, exif.size(), exif_layout)
             .Directory(exif_first, 0, false, &walk, &added, nullptr)) {
        if (too_large) *too_large = walk.exceeded;
        return false;
    }
    for (Entry& e : added) {
        bool taken = std::any_of(own.begin(), own.end(), [&](const Entry& o) { return o.tag == e.tag; });
        if (!taken) own.push_back(std::move(e));
    }
    std::stable_sort(own.begin(), own.end(), LessTag);
    Writer writer(tiff_layout, tiff->size());
    uint64_t root = writer.Directory(own, next);
    if (!tiff_layout.big && writer.End() > 0xFFFFFFFFu) return false;
    Writer header(tiff_layout, 0);
    header.Put(root, tiff_layout.FieldSize());
    const std::string& appended = writer.bytes();
    tiff->insert(tiff->end(), appended.begin(), appended.end());
    memcpy(tiff->data() + (tiff_layout.big ? 8 : 4), header.bytes().data(), header.bytes().size());
    return true;
}

}  // namespace polarmosaic
