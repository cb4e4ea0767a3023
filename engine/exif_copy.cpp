// The complete Exif segment: the raw file's own IFD0, Exif and GPS entries
// copied into a new TIFF structure.
//
// Everything about the entries is settled from the directory tables alone
// (which entries are copied, their sizes, which are dropped to fit) before a
// single value is read, so the values read never exceed one segment's worth
// whatever the file claims. The segment is laid out as the TIFF header, IFD0,
// the Exif directory, the GPS directory, then the values that do not fit in
// their entries, each at an even offset.
#include "engine/exif_copy.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "engine/byte_order.h"
#include "engine/limits.h"
#include "engine/tags.h"

namespace engine {
namespace {

// Tags the builder reads, writes or leaves out by name.
using tag::kArtist;
using tag::kCopyright;
using tag::kDateTime;
using tag::kExifPointer;
using tag::kGpsPointer;
using tag::kImageDescription;
using tag::kInteropPointer;
using tag::kJpegLength;
using tag::kJpegOffset;
using tag::kMake;
using tag::kMakerNote;
using tag::kModel;
using tag::kOffsetSchema;
using tag::kOrientation;
using tag::kPadding;
using tag::kPixelXDimension;
using tag::kPixelYDimension;
using tag::kResolutionUnit;
using tag::kSoftware;
using tag::kStripByteCounts;
using tag::kStripOffsets;
using tag::kSubIfds;
using tag::kTileByteCounts;
using tag::kTileOffsets;
using tag::kXResolution;
using tag::kYResolution;

// TIFF types. Only 1 (BYTE) to 12 (DOUBLE) are copied: 13 (IFD) is a pointer
// into the raw file, and the 64-bit types belong to BigTIFF.
constexpr uint16_t kTypeAscii = 2;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;
constexpr uint16_t kLastCopiedType = 12;
// Bytes of one element by type, and of the unit whose bytes a change of byte
// order reverses (a RATIONAL is two LONGs).
constexpr uint8_t kElementSize[kLastCopiedType + 1] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
constexpr uint8_t kSwapUnit[kLastCopiedType + 1] = {0, 1, 1, 2, 4, 4, 1, 1, 2, 4, 4, 4, 8};

constexpr size_t kEntrySize = 12;
constexpr size_t kInlineValueSize = 4;
// A directory's count and next-directory offset around its entries.
constexpr size_t kDirectoryOverhead = 2 + 4;
constexpr size_t kTiffHeaderSize = 8;
// FF E1, the length field and "Exif\0\0" before the TIFF structure.
constexpr size_t kSegmentHeaderSize = 2 + 2 + 6;
// What the length field leaves for the TIFF structure after itself and
// "Exif\0\0".
constexpr size_t kMaxTiffSize = kMaxJpegSegmentLength - 2 - 6;
constexpr size_t kMaxSoftwareLength = 63;
// The compact header's resolution: 300 dots per inch.
constexpr uint32_t kDefaultResolution = 300;
constexpr uint16_t kResolutionInches = 2;
// A refill of the metadata window starts half a window before the read: the
// directories point both ways, IFD0 usually lying before the Exif directory.
constexpr size_t kMetadataLookBack = kMetadataWindowSize / 2;

// The shot description of the Exif directory, sorted: kept longest when the
// segment would not fit (see the header for the order).
constexpr uint16_t kListedExifTags[] = {
    33434,  // ExposureTime
    33437,  // FNumber
    34850,  // ExposureProgram
    34855,  // ISO
    34864,  // SensitivityType
    34865,  // StandardOutputSensitivity
    34866,  // RecommendedExposureIndex
    34867,  // ISOSpeed
    36864,  // ExifVersion
    36867,  // DateTimeOriginal
    36868,  // DateTimeDigitized
    36880,  // OffsetTime
    36881,  // OffsetTimeOriginal
    36882,  // OffsetTimeDigitized
    37377,  // ShutterSpeedValue
    37378,  // ApertureValue
    37379,  // BrightnessValue
    37380,  // ExposureBiasValue
    37381,  // MaxApertureValue
    37382,  // SubjectDistance
    37383,  // MeteringMode
    37384,  // LightSource
    37385,  // Flash
    37386,  // FocalLength
    37520,  // SubSecTime
    37521,  // SubSecTimeOriginal
    37522,  // SubSecTimeDigitized
    40961,  // ColorSpace
    41986,  // ExposureMode
    41987,  // WhiteBalance
    41988,  // DigitalZoomRatio
    41989,  // FocalLengthIn35mmFormat
    41990,  // SceneCaptureType
    42032,  // CameraOwnerName
    42033,  // BodySerialNumber
    42034,  // LensSpecification
    42035,  // LensMake
    42036,  // LensModel
    42037,  // LensSerialNumber
};

// Tags never copied from any directory: they point at other data of the raw
// file, which the segment does not contain.
constexpr uint16_t kPointingTags[] = {
    kStripOffsets, kStripByteCounts, kTileOffsets, kTileByteCounts, kSubIfds,        kJpegOffset,
    kJpegLength,   kExifPointer,     kGpsPointer,  kMakerNote,      kInteropPointer, kOffsetSchema,
};

// Which entries survive when the segment would not fit: every `Other` one
// goes before any `Listed` one; the builder's own entries always stay.
enum class Keep : uint8_t { Skip, Own, Listed, Other };

bool IsOneOf(uint16_t tag, const uint16_t* tags, size_t n) {
  return std::find(tags, tags + n, tag) != tags + n;
}

Keep KeepIfd0(uint16_t tag, uint16_t type, uint32_t count) {
  switch (tag) {
    case kImageDescription:
    case kMake:
    case kModel:
    case kDateTime:
    case kArtist:
    case kCopyright:
      return Keep::Listed;
    case kXResolution:
    case kYResolution:
      return type == kTypeRational && count == 1 ? Keep::Listed : Keep::Skip;
    case kResolutionUnit:
      return type == kTypeShort && count == 1 ? Keep::Listed : Keep::Skip;
    default:
      return Keep::Skip;  // the raw image's own layout and the rest of IFD0
  }
}

Keep KeepExif(uint16_t tag, uint16_t, uint32_t) {
  if (IsOneOf(tag, kPointingTags, std::size(kPointingTags))) return Keep::Skip;
  if (tag == kPadding || tag == kPixelXDimension || tag == kPixelYDimension) return Keep::Skip;
  return std::binary_search(std::begin(kListedExifTags), std::end(kListedExifTags), tag)
             ? Keep::Listed
             : Keep::Other;
}

Keep KeepGps(uint16_t tag, uint16_t, uint32_t) {
  return IsOneOf(tag, kPointingTags, std::size(kPointingTags)) ? Keep::Skip : Keep::Listed;
}

// Reverses the bytes of every unit of a value of `size` bytes.
void SwapUnits(uint8_t* value, size_t size, uint16_t type) {
  const size_t unit = kSwapUnit[type];
  if (unit < 2) return;
  for (size_t at = 0; at + unit <= size; at += unit) std::reverse(value + at, value + at + unit);
}

size_t EvenSize(size_t size) {
  return size + (size & 1);
}

// Bounded reads from the source through two buffers, each holding one
// stretch of the file (the directories and values around IFD0 and the Exif
// directory, and the GPS directory's, often elsewhere); a miss refills the
// one used less recently. A read either lies wholly inside the file and
// succeeds, or fails without reading. A refill starts up to `look_back`
// bytes before the read, for readers that go both ways.
class Window {
 public:
  Window(const ByteSource& source, size_t window_size, size_t look_back)
      : source_(source), size_(source.Size()), window_size_(window_size), look_back_(look_back) {}

  int64_t size() const { return size_; }

  bool Read(int64_t offset, uint8_t* out, size_t n) {
    if (offset < 0 || size_ < 0 || static_cast<uint64_t>(n) > static_cast<uint64_t>(size_) ||
        offset > size_ - static_cast<int64_t>(n))
      return false;
    if (n > window_size_) return source_.ReadAt(offset, out, n) == n;
    const int64_t end = offset + static_cast<int64_t>(n);
    for (size_t i = 0; i < kStretches; ++i) {
      Stretch& held = stretches_[i];
      if (held.bytes && offset >= held.start && end <= held.start + held.length) {
        std::memcpy(out, held.bytes.get() + (offset - held.start), n);
        recent_ = i;
        return true;
      }
    }
    recent_ = (recent_ + 1) % kStretches;
    Stretch& fill = stretches_[recent_];
    if (!fill.bytes) fill.bytes.reset(new uint8_t[window_size_]);  // filled by the read
    const size_t back = std::min(look_back_, window_size_ - n);
    fill.start = std::max<int64_t>(0, offset - static_cast<int64_t>(back));
    fill.length = static_cast<int64_t>(source_.ReadAt(fill.start, fill.bytes.get(), window_size_));
    if (end > fill.start + fill.length) return false;
    std::memcpy(out, fill.bytes.get() + (offset - fill.start), n);
    return true;
  }

 private:
  static constexpr size_t kStretches = 2;
  struct Stretch {
    std::unique_ptr<uint8_t[]> bytes;
    int64_t start = 0;
    int64_t length = 0;
  };

  const ByteSource& source_;
  const int64_t size_;
  const size_t window_size_;
  const size_t look_back_;
  Stretch stretches_[kStretches];
  size_t recent_ = 0;  // the stretch read last
};

// One entry of the new segment.
struct Entry {
  enum class From : uint8_t { Inline, File, Own };
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t size = 0;  // count x element size, at most kMaxTiffSize
  Keep keep = Keep::Own;
  From from = From::Own;
  uint16_t order = 0;                     // byte order of File and Inline values
  uint8_t stored[kInlineValueSize] = {};  // Inline: the value bytes as stored
  int64_t file_offset = 0;                // File: where the value lies
  size_t own_at = 0;                      // Own: where the value lies in own_values
  bool dropped = false;

  // Bytes the entry adds to the segment.
  size_t Footprint() const { return kEntrySize + (size > kInlineValueSize ? EvenSize(size) : 0); }
};

using KeepRule = Keep (*)(uint16_t tag, uint16_t type, uint32_t count);

bool TagOrder(const Entry& a, const Entry& b) {
  return a.tag < b.tag;
}

// The builder's own entries in one directory: at most Orientation,
// Software, three resolution tags and two pointers in IFD0.
constexpr size_t kOwnEntriesPerDirectory = 7;

class SegmentBuilder {
 public:
  SegmentBuilder(const ByteSource& source, const MetadataDirectories& directories)
      : metadata_(source, kMetadataWindowSize, kMetadataLookBack), directories_(directories) {}

  std::vector<uint8_t> Build(uint16_t orientation, uint32_t pixel_width, uint32_t pixel_height,
                             const char* software);

 private:
  bool ReadDirectory(const DirectoryLocation& at, KeepRule rule, std::vector<Entry>* out);
  void AddOwn(std::vector<Entry>* directory, uint16_t tag, uint16_t type, uint32_t count,
              const uint8_t* value, size_t size);
  void AddOwnShort(std::vector<Entry>* directory, uint16_t tag, uint16_t value);
  void AddOwnLong(std::vector<Entry>* directory, uint16_t tag, uint32_t value);
  void AddOwnRational(std::vector<Entry>* directory, uint16_t tag, uint32_t numerator,
                      uint32_t denominator);
  bool Has(const std::vector<Entry>& directory, uint16_t tag) const;
  size_t TiffSize() const;
  void DropToFit();
  bool Write(std::vector<uint8_t>* segment);
  bool WriteDirectory(std::vector<Entry>& directory, size_t at, uint32_t* next_value,
                      uint8_t* tiff);

  Window metadata_;
  const MetadataDirectories& directories_;
  uint16_t order_ = kLittleEndianMark;  // of the segment
  std::vector<Entry> ifd0_, exif_, gps_;
  std::vector<uint8_t> own_values_;  // the builder's own values, in the segment's order
};

bool KnownOrder(uint16_t order) {
  return order == kLittleEndianMark || order == kBigEndianMark;
}

bool SegmentBuilder::ReadDirectory(const DirectoryLocation& at, KeepRule rule,
                                   std::vector<Entry>* out) {
  if (!at.present() || !KnownOrder(at.byte_order)) return false;
  uint8_t count_bytes[2];
  if (!metadata_.Read(at.offset, count_bytes, sizeof count_bytes)) return false;
  const uint32_t declared = Load16(count_bytes, at.byte_order);
  if (declared > kMaxDirectoryEntries) return false;
  // Entries cut short by the end of the file are not read.
  const int64_t table = at.offset + 2;
  const int64_t whole_entries = std::max<int64_t>(0, (metadata_.size() - table) / kEntrySize);
  const size_t entries = static_cast<size_t>(std::min<int64_t>(declared, whole_entries));
  std::vector<uint8_t> bytes(entries * kEntrySize);
  if (entries > 0 && !metadata_.Read(table, bytes.data(), bytes.size())) return false;
  out->reserve(entries + kOwnEntriesPerDirectory);

  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* raw = bytes.data() + i * kEntrySize;
    Entry e;
    e.tag = Load16(raw, at.byte_order);
    e.type = Load16(raw + 2, at.byte_order);
    e.count = Load32(raw + 4, at.byte_order);
    if (e.type == 0 || e.type > kLastCopiedType || e.count == 0) continue;
    e.keep = rule(e.tag, e.type, e.count);
    if (e.keep == Keep::Skip) continue;
    // Counts come from the file: 64-bit arithmetic, and no value larger than
    // a whole segment is taken.
    const uint64_t size = static_cast<uint64_t>(e.count) * kElementSize[e.type];
    if (size > kMaxTiffSize) continue;
    e.size = static_cast<uint32_t>(size);
    e.order = at.byte_order;
    if (e.size <= kInlineValueSize) {
      e.from = Entry::From::Inline;
      std::memcpy(e.stored, raw + 8, kInlineValueSize);
    } else {
      e.from = Entry::From::File;
      e.file_offset = at.base + Load32(raw + 8, at.byte_order);
      if (e.file_offset < 0 || e.file_offset > metadata_.size() - static_cast<int64_t>(e.size))
        continue;  // the value does not lie wholly inside the file
    }
    out->push_back(e);
  }
  // Tags in ascending order, as TIFF wants them (cameras write them so); a
  // tag the file repeats is taken once, as first stored.
  if (!std::is_sorted(out->begin(), out->end(), TagOrder))
    std::stable_sort(out->begin(), out->end(), TagOrder);
  out->erase(std::unique(out->begin(), out->end(),
                         [](const Entry& a, const Entry& b) { return a.tag == b.tag; }),
             out->end());
  return true;
}

void SegmentBuilder::AddOwn(std::vector<Entry>* directory, uint16_t tag, uint16_t type,
                            uint32_t count, const uint8_t* value, size_t size) {
  Entry e;
  e.tag = tag;
  e.type = type;
  e.count = count;
  e.size = static_cast<uint32_t>(size);
  e.keep = Keep::Own;
  e.from = Entry::From::Own;
  e.own_at = own_values_.size();
  own_values_.insert(own_values_.end(), value, value + size);
  // In tag order: the copied entries never carry the builder's own tags.
  directory->insert(std::upper_bound(directory->begin(), directory->end(), e, TagOrder), e);
}

void SegmentBuilder::AddOwnShort(std::vector<Entry>* directory, uint16_t tag, uint16_t value) {
  uint8_t bytes[2];
  Store16(bytes, value, order_);
  AddOwn(directory, tag, kTypeShort, 1, bytes, sizeof bytes);
}

void SegmentBuilder::AddOwnLong(std::vector<Entry>* directory, uint16_t tag, uint32_t value) {
  uint8_t bytes[4];
  Store32(bytes, value, order_);
  AddOwn(directory, tag, kTypeLong, 1, bytes, sizeof bytes);
}

void SegmentBuilder::AddOwnRational(std::vector<Entry>* directory, uint16_t tag, uint32_t numerator,
                                    uint32_t denominator) {
  uint8_t bytes[8];
  Store32(bytes, numerator, order_);
  Store32(bytes + 4, denominator, order_);
  AddOwn(directory, tag, kTypeRational, 1, bytes, sizeof bytes);
}

bool SegmentBuilder::Has(const std::vector<Entry>& directory, uint16_t tag) const {
  return std::any_of(directory.begin(), directory.end(),
                     [tag](const Entry& e) { return e.tag == tag && !e.dropped; });
}

size_t DirectorySize(const std::vector<Entry>& directory) {
  size_t size = kDirectoryOverhead;
  for (const Entry& e : directory)
    if (!e.dropped) size += e.Footprint();
  return size;
}

// The directory's own bytes: count, entries and next offset.
size_t TableSize(const std::vector<Entry>& directory) {
  size_t size = kDirectoryOverhead;
  for (const Entry& e : directory)
    if (!e.dropped) size += kEntrySize;
  return size;
}

bool HasEntries(const std::vector<Entry>& directory) {
  return std::any_of(directory.begin(), directory.end(), [](const Entry& e) { return !e.dropped; });
}

// The GPS directory and IFD0's pointer to it count only while the directory
// has entries left; the pointer entry itself is added once that is settled.
size_t SegmentBuilder::TiffSize() const {
  size_t size = kTiffHeaderSize + DirectorySize(ifd0_) + DirectorySize(exif_);
  if (HasEntries(gps_) && !Has(ifd0_, kGpsPointer)) size += kEntrySize;
  if (HasEntries(gps_)) size += DirectorySize(gps_);
  return size;
}

// When the copy would not fit, the largest entries go first: every Exif
// entry outside the shot description before any listed one. The builder's
// own entries are a few hundred bytes and always stay, so the loop ends with
// a segment that fits whatever the file holds.
void SegmentBuilder::DropToFit() {
  size_t size = TiffSize();
  if (size <= kMaxTiffSize) return;
  std::vector<Entry*> candidates;
  for (std::vector<Entry>* directory : {&ifd0_, &exif_, &gps_})
    for (Entry& e : *directory)
      if (e.keep != Keep::Own) candidates.push_back(&e);
  std::stable_sort(candidates.begin(), candidates.end(), [](const Entry* a, const Entry* b) {
    if (a->keep != b->keep) return a->keep == Keep::Other;
    return a->Footprint() > b->Footprint();
  });
  for (Entry* e : candidates) {
    if (size <= kMaxTiffSize) break;
    e->dropped = true;
    size = TiffSize();
  }
}

bool SegmentBuilder::WriteDirectory(std::vector<Entry>& directory, size_t at, uint32_t* next_value,
                                    uint8_t* tiff) {
  size_t count = 0;
  for (const Entry& e : directory) count += e.dropped ? 0 : 1;
  Store16(tiff + at, static_cast<uint16_t>(count), order_);
  size_t entry_at = at + 2;
  for (const Entry& e : directory) {
    if (e.dropped) continue;
    uint8_t* entry = tiff + entry_at;
    Store16(entry, e.tag, order_);
    Store16(entry + 2, e.type, order_);
    Store32(entry + 4, e.count, order_);
    uint8_t* value = entry + 8;  // the value field, zero-filled
    if (e.size > kInlineValueSize) {
      Store32(value, *next_value, order_);
      value = tiff + *next_value;
      *next_value += static_cast<uint32_t>(EvenSize(e.size));
    }
    switch (e.from) {
      case Entry::From::Own:
        std::memcpy(value, own_values_.data() + e.own_at, e.size);
        break;
      case Entry::From::Inline:
        std::memcpy(value, e.stored, e.size);
        break;
      case Entry::From::File:
        if (!metadata_.Read(e.file_offset, value, e.size)) return false;
        break;
    }
    if (e.from != Entry::From::Own && e.order != order_) SwapUnits(value, e.size, e.type);
    entry_at += kEntrySize;
  }
  Store32(tiff + entry_at, 0, order_);  // no next directory
  return true;
}

bool SegmentBuilder::Write(std::vector<uint8_t>* segment) {
  const bool with_gps = HasEntries(gps_);
  const size_t tiff_size = TiffSize();
  segment->assign(kSegmentHeaderSize + tiff_size, 0);
  uint8_t* out = segment->data();
  const size_t length = tiff_size + kSegmentHeaderSize - 2;  // counts itself, not the marker
  out[0] = 0xFF;
  out[1] = 0xE1;
  StoreBigEndian16(out + 2, static_cast<uint16_t>(length));
  std::memcpy(out + 4, "Exif\0\0", 6);
  uint8_t* tiff = out + kSegmentHeaderSize;
  tiff[0] = tiff[1] = static_cast<uint8_t>(order_ & 0xFF);
  Store16(tiff + 2, 42, order_);
  Store32(tiff + 4, kTiffHeaderSize, order_);

  // The directories one after the other, then the values they do not hold.
  const size_t ifd0_at = kTiffHeaderSize;
  const size_t exif_at = ifd0_at + TableSize(ifd0_);
  const size_t gps_at = exif_at + TableSize(exif_);
  uint32_t next_value = static_cast<uint32_t>(gps_at + (with_gps ? TableSize(gps_) : 0));
  for (Entry& e : ifd0_) {
    if (e.tag == kExifPointer) Store32(own_values_.data() + e.own_at, exif_at, order_);
    if (e.tag == kGpsPointer) Store32(own_values_.data() + e.own_at, gps_at, order_);
  }
  if (!WriteDirectory(ifd0_, ifd0_at, &next_value, tiff) ||
      !WriteDirectory(exif_, exif_at, &next_value, tiff))
    return false;
  if (with_gps && !WriteDirectory(gps_, gps_at, &next_value, tiff)) return false;
  return next_value == tiff_size;
}

std::vector<uint8_t> SegmentBuilder::Build(uint16_t orientation, uint32_t pixel_width,
                                           uint32_t pixel_height, const char* software) {
  // Without an Exif directory of its own the file has no description to copy.
  if (!ReadDirectory(directories_.exif, KeepExif, &exif_) || exif_.empty()) return {};
  const bool with_ifd0 = ReadDirectory(directories_.ifd0, KeepIfd0, &ifd0_);
  order_ = with_ifd0 ? directories_.ifd0.byte_order : directories_.exif.byte_order;
  if (!ReadDirectory(directories_.gps, KeepGps, &gps_)) gps_.clear();
  // Inline values were kept as stored; own values are written in order_.
  AddOwnShort(&ifd0_, kOrientation, orientation);
  if (software) {
    const size_t length = std::min(std::strlen(software), kMaxSoftwareLength);
    std::vector<uint8_t> text(software, software + length);
    text.push_back(0);
    AddOwn(&ifd0_, kSoftware, kTypeAscii, static_cast<uint32_t>(text.size()), text.data(),
           text.size());
  }
  if (!Has(ifd0_, kXResolution)) AddOwnRational(&ifd0_, kXResolution, kDefaultResolution, 1);
  if (!Has(ifd0_, kYResolution)) AddOwnRational(&ifd0_, kYResolution, kDefaultResolution, 1);
  if (!Has(ifd0_, kResolutionUnit)) AddOwnShort(&ifd0_, kResolutionUnit, kResolutionInches);
  AddOwnLong(&ifd0_, kExifPointer, 0);  // the offsets are known once laid out
  if (pixel_width > 0 && pixel_height > 0) {
    AddOwnLong(&exif_, kPixelXDimension, pixel_width);
    AddOwnLong(&exif_, kPixelYDimension, pixel_height);
  }
  DropToFit();
  // A hostile file can have its whole description dropped: an empty Exif
  // directory describes nothing, and the compact header says more.
  if (!HasEntries(exif_)) return {};
  if (HasEntries(gps_)) AddOwnLong(&ifd0_, kGpsPointer, 0);
  std::vector<uint8_t> segment;
  if (TiffSize() > kMaxTiffSize || !Write(&segment)) return {};
  return segment;
}

}  // namespace

std::vector<uint8_t> BuildCompleteExifSegment(const ByteSource& source,
                                              const MetadataDirectories& directories,
                                              uint16_t orientation, uint32_t pixel_width,
                                              uint32_t pixel_height, const char* software) {
  try {
    SegmentBuilder builder(source, directories);
    return builder.Build(orientation, pixel_width, pixel_height, software);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace engine
