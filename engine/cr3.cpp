// Canon CR3: an ISO base media file (boxes) whose metadata boxes hold TIFF
// structures and whose JPEG previews sit in a track and in two boxes.
//
// A box is a 32-bit big-endian size and a four-character type; size 1 means a
// 64-bit size follows the type, size 0 means "to the end of the enclosing box".
// A `uuid` box carries a 16-byte user type after that header. What is read:
//
//   moov > uuid 85c0b687-... > CMT1   TIFF structure: IFD0 (make, model, date...)
//                            > CMT2   TIFF structure: IFD0 is the Exif directory
//                            > CMT4   TIFF structure: IFD0 is the GPS directory
//                            > THMB   160x120 JPEG
//   moov > trak > mdia > minf > stbl > stsd   one CRAW sample entry per track;
//                                             the full-size JPEG's has a JPEG
//                                             child box, the raw tracks' a CMP1
//                                      stsz, co64 or stco   the sample's size
//                                                           and file offset
//   uuid eaf42b5e-... > PRVW   1620x1080 JPEG
//   mdat   the samples: only its header is ever read
//
// None of the three JPEGs carries an Exif segment of its own.
#include <cstring>
#include <string>

#include "engine/byte_order.h"
#include "engine/limits.h"
#include "engine/parsers.h"

namespace engine {

namespace {

constexpr int64_t kBoxHeaderSize = 8;
constexpr int64_t kLargeSizeLength = 8;
constexpr int64_t kUserTypeLength = 16;

constexpr uint8_t kCanonMetadataUuid[kUserTypeLength] = {
    0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0, 0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
constexpr uint8_t kPreviewUuid[kUserTypeLength] = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88,
                                                   0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};

// The preview uuid box holds 8 bytes after its user type, then the PRVW box.
constexpr int64_t kPreviewBoxAfterUserType = 8;
// PRVW after its header: 4 bytes, a 16-bit 1, width, height, another 1, the
// JPEG's length, the JPEG. The box is padded after the JPEG.
constexpr size_t kPrvwFieldsLength = 16;
constexpr size_t kPrvwWidthAt = 6;
constexpr size_t kPrvwHeightAt = 8;
constexpr size_t kPrvwLengthAt = 12;
// THMB after its header: 4 bytes, width, height, the JPEG's length, 4 bytes,
// the JPEG (padded as well).
constexpr size_t kThmbFieldsLength = 16;
constexpr size_t kThmbWidthAt = 4;
constexpr size_t kThmbHeightAt = 6;
constexpr size_t kThmbLengthAt = 8;

// A CRAW sample entry is a visual sample entry (after its header: 6 reserved
// bytes, a data reference index, 16 bytes, then width and height) with 4 more
// bytes: its child boxes start 82 bytes after the header, 90 after the start.
constexpr size_t kEntryWidthAt = 24;  // then the height
constexpr int64_t kEntryChildrenAt = 82;
// A full box (stsd, stsz, stco, co64) starts with a version and flags.
constexpr int64_t kFullBoxFlagsLength = 4;
// stsd after version and flags: the entry count, which the walk does not
// trust (it walks the entries by their sizes).
constexpr int64_t kEntryCountLength = 4;

struct Box {
  char type[4] = {};
  int64_t payload = 0;  // first byte after the header and user type
  int64_t end = 0;      // one past the last byte
  uint8_t user_type[kUserTypeLength] = {};

  bool Is(const char* name) const { return std::memcmp(type, name, 4) == 0; }
  bool IsUuid(const uint8_t (&uuid)[kUserTypeLength]) const {
    return Is("uuid") && std::memcmp(user_type, uuid, kUserTypeLength) == 0;
  }
  int64_t PayloadLength() const { return end - payload; }
};

// What one trak box says about its sample.
struct Track {
  int number = 0;               // 1 for the first trak box met
  bool has_jpeg_entry = false;  // its CRAW entry has a JPEG child: the full-size JPEG
  bool has_raw_entry = false;   // a CMP1 child instead: raw data
  uint16_t width = 0, height = 0;
  bool has_sample_size = false;
  uint64_t sample_size = 0;
  bool has_chunk_offset = false;
  uint64_t chunk_offset = 0;
};

struct Candidate {
  bool found = false;
  uint64_t offset = 0, length = 0;
  uint16_t width = 0, height = 0;
};

class Cr3Walk {
 public:
  explicit Cr3Walk(ParseState& s) : s_(s) {}

  void Run() {
    Walk(0, s_.input.Size(), 0, nullptr, false);
    TakePreview();
    if (raw_track_.found) {
      s_.raw.raw_width = s_.raw.image_width = raw_track_.width;
      s_.raw.raw_height = s_.raw.image_height = raw_track_.height;
    }
    s_.raw.raw_by_container = true;
  }

 private:
  // Reads the header of the box at `at` inside a parent ending at `end`.
  // False ends the walk of that level: no room for a header, a size smaller
  // than its header or running past the parent, or the box budget spent.
  bool ReadBox(int64_t at, int64_t end, Box* box) {
    if (boxes_visited_ >= kMaxCr3BoxesVisited || end - at < kBoxHeaderSize) return false;
    ++boxes_visited_;
    uint8_t header[kBoxHeaderSize];
    if (!ReadAt(at, header, sizeof header)) return false;
    uint64_t size = LoadBigEndian32(header);
    int64_t header_size = kBoxHeaderSize;
    if (size == 1) {
      uint8_t large[kLargeSizeLength];
      if (end - at < kBoxHeaderSize + kLargeSizeLength ||
          !ReadAt(at + kBoxHeaderSize, large, sizeof large))
        return false;
      size = LoadBigEndian64(large);
      header_size += kLargeSizeLength;
    } else if (size == 0) {
      size = static_cast<uint64_t>(end - at);
    }
    if (size < static_cast<uint64_t>(header_size)) return false;
    if (size > static_cast<uint64_t>(end - at)) {
      // A box running past the end of the file: the file was cut short.
      if (end >= s_.input.Size()) s_.found.needed_past_end = true;
      return false;
    }
    std::memcpy(box->type, header + 4, 4);
    if (box->Is("uuid")) {
      if (size < static_cast<uint64_t>(header_size + kUserTypeLength) ||
          !ReadAt(at + header_size, box->user_type, kUserTypeLength))
        return false;
      header_size += kUserTypeLength;
    }
    box->payload = at + header_size;
    box->end = at + static_cast<int64_t>(size);
    return true;
  }

  bool ReadAt(int64_t at, uint8_t* out, size_t n) {
    s_.input.Seek(at);
    return s_.input.Read(out, n) == n;
  }

  // Walks the boxes of [begin, end) at nesting `depth`. Containers are
  // entered wherever they are met; the leaves mean something only in their
  // own parent (`track` inside a trak, `in_metadata` inside the Canon box).
  void Walk(int64_t begin, int64_t end, int depth, Track* track, bool in_metadata) {
    if (depth >= kMaxCr3BoxDepth) return;
    Box box;
    for (int64_t at = begin; ReadBox(at, end, &box); at = box.end) {
      if (box.Is("trak")) {
        Track inner;
        inner.number = ++tracks_met_;
        Walk(box.payload, box.end, depth + 1, &inner, false);
        FinishTrack(inner);
      } else if (box.Is("moov") || box.Is("mdia") || box.Is("minf") || box.Is("stbl")) {
        Walk(box.payload, box.end, depth + 1, track, false);
      } else if (box.IsUuid(kCanonMetadataUuid)) {
        Walk(box.payload, box.end, depth + 1, nullptr, true);
      } else if (box.IsUuid(kPreviewUuid)) {
        if (depth == 0) ReadPrvw(box);
      } else if (in_metadata) {
        ReadMetadataBox(box);
      } else if (track) {
        ReadSampleTableBox(box, depth, track);
      }
    }
  }

  // --- The Canon metadata box ---

  void ReadMetadataBox(const Box& box) {
    if (box.Is("CMT1")) {
      if (s_.found.metadata_directories.ifd0.present()) return;
      DirectoryLocation ifd0;
      if (!FindTiffDirectory(box, &ifd0)) return;
      s_.found.metadata_directories.ifd0 = ifd0;
      ReadIfd0(ifd0);
    } else if (box.Is("CMT2")) {
      if (s_.found.metadata_directories.exif.present()) return;
      DirectoryLocation exif;
      if (!FindTiffDirectory(box, &exif)) return;
      s_.found.metadata_directories.exif = exif;
      const uint16_t saved_order = s_.byte_order;
      s_.byte_order = exif.byte_order;
      s_.input.Seek(exif.offset);
      ParseExifDirectory(s_, exif.base);
      s_.byte_order = saved_order;
    } else if (box.Is("CMT4")) {
      DirectoryLocation gps;
      if (!s_.found.metadata_directories.gps.present() && FindTiffDirectory(box, &gps))
        s_.found.metadata_directories.gps = gps;
    } else if (box.Is("THMB")) {
      uint8_t fields[kThmbFieldsLength];
      if (thumbnail_.found || box.PayloadLength() < static_cast<int64_t>(sizeof fields) ||
          !ReadAt(box.payload, fields, sizeof fields))
        return;
      TakeBoxedJpeg(box, LoadBigEndian16(fields + kThmbWidthAt),
                    LoadBigEndian16(fields + kThmbHeightAt),
                    LoadBigEndian32(fields + kThmbLengthAt), sizeof fields, &thumbnail_);
      Note("THMB", thumbnail_);
    }
  }

  // The TIFF structure that fills a CMT box: its header at the payload's start
  // gives the byte order and IFD0, which must begin inside the box.
  bool FindTiffDirectory(const Box& box, DirectoryLocation* location) {
    constexpr int64_t kTiffHeaderLength = 8;
    constexpr int64_t kEntryCountSize = 2;
    uint8_t header[kTiffHeaderLength];
    if (box.PayloadLength() < kTiffHeaderLength || !ReadAt(box.payload, header, sizeof header))
      return false;
    const uint16_t order = LoadBigEndian16(header);
    if (order != kLittleEndianMark && order != kBigEndianMark) return false;
    const uint32_t ifd_offset = Load32(header + 4, order);
    if (ifd_offset < kTiffHeaderLength || ifd_offset + kEntryCountSize > box.PayloadLength())
      return false;
    location->base = box.payload;
    location->offset = box.payload + ifd_offset;
    location->byte_order = order;
    return true;
  }

  // IFD0 through the TIFF directory code, as the only record of a parse of
  // its own; its orientation becomes the file's TIFF orientation.
  void ReadIfd0(const DirectoryLocation& ifd0) {
    const uint16_t saved_order = s_.byte_order;
    s_.byte_order = ifd0.byte_order;
    for (IfdRecord& record : s_.ifd_table) record = IfdRecord{};
    s_.ifd_count = 0;
    s_.tiff_directories_entered.clear();
    s_.input.Seek(ifd0.offset);
    ParseTiffDirectory(s_, ifd0.base, "CMT1");
    if (s_.ifd_count > 0) s_.tiff_orientation = s_.ifd_table[0].orientation;
    s_.byte_order = saved_order;
  }

  // --- Tracks ---

  void ReadSampleTableBox(const Box& box, int depth, Track* track) {
    if (box.Is("stsd")) {
      ReadSampleEntries(box, depth, track);
    } else if (box.Is("stsz")) {
      // Version and flags, a size for every sample (0: each has its own),
      // the count, then the table when the size is 0.
      uint8_t fields[12];
      if (track->has_sample_size || !ReadFields(box, fields, sizeof fields)) return;
      const uint32_t uniform = LoadBigEndian32(fields + 4);
      const uint32_t count = LoadBigEndian32(fields + 8);
      if (count == 0) return;
      if (uniform != 0) {
        track->sample_size = uniform;
      } else {
        uint8_t first[4];
        if (!ReadFields(box, first, sizeof first, sizeof fields)) return;
        track->sample_size = LoadBigEndian32(first);
      }
      track->has_sample_size = true;
    } else if (box.Is("co64") || box.Is("stco")) {
      // Version and flags, the count, then the chunk offsets (64 or 32 bits).
      const bool wide = box.Is("co64");
      uint8_t fields[kFullBoxFlagsLength + 4 + 8];
      const size_t length = kFullBoxFlagsLength + 4 + (wide ? 8 : 4);
      if (track->has_chunk_offset || !ReadFields(box, fields, length)) return;
      if (LoadBigEndian32(fields + kFullBoxFlagsLength) == 0) return;
      const uint8_t* first = fields + kFullBoxFlagsLength + 4;
      track->chunk_offset = wide ? LoadBigEndian64(first) : LoadBigEndian32(first);
      track->has_chunk_offset = true;
    }
  }

  // `n` bytes of the payload from `skip` on, when the box holds them.
  bool ReadFields(const Box& box, uint8_t* out, size_t n, size_t skip = 0) {
    if (box.PayloadLength() < static_cast<int64_t>(skip + n)) return false;
    return ReadAt(box.payload + static_cast<int64_t>(skip), out, n);
  }

  // The first CRAW entry of an stsd box: its size, and whether a JPEG or a
  // CMP1 box is among its children.
  void ReadSampleEntries(const Box& stsd, int depth, Track* track) {
    if (depth + 2 >= kMaxCr3BoxDepth) return;
    Box entry;
    const int64_t first = stsd.payload + kFullBoxFlagsLength + kEntryCountLength;
    for (int64_t at = first; ReadBox(at, stsd.end, &entry); at = entry.end) {
      if (!entry.Is("CRAW")) continue;
      uint8_t dimensions[4];
      if (!ReadFields(entry, dimensions, sizeof dimensions, kEntryWidthAt)) return;
      track->width = LoadBigEndian16(dimensions);
      track->height = LoadBigEndian16(dimensions + 2);
      Box child;
      for (int64_t c = entry.payload + kEntryChildrenAt; ReadBox(c, entry.end, &child);
           c = child.end) {
        if (child.Is("JPEG")) track->has_jpeg_entry = true;
        if (child.Is("CMP1")) track->has_raw_entry = true;
      }
      return;
    }
  }

  void FinishTrack(const Track& track) {
    if (track.has_jpeg_entry) {
      if (track_jpeg_.found || !track.has_sample_size || !track.has_chunk_offset) return;
      track_jpeg_ = {true, track.chunk_offset, track.sample_size, track.width, track.height};
      Note(("track " + std::to_string(track.number)).c_str(), track_jpeg_);
    } else if (track.has_raw_entry) {
      const int64_t area = static_cast<int64_t>(track.width) * track.height;
      const int64_t largest = static_cast<int64_t>(raw_track_.width) * raw_track_.height;
      if (!raw_track_.found || area > largest) raw_track_ = {true, 0, 0, track.width, track.height};
    }
  }

  // --- The boxed JPEGs ---

  // A JPEG found goes into the list of embedded images with the size the
  // file states for it.
  void Note(const char* where, const Candidate& c) {
    if (c.found) NoteImage(s_, where, c.offset, c.length, ImageKind::kJpeg, c.width, c.height);
  }

  void ReadPrvw(const Box& uuid) {
    if (preview_.found) return;
    Box prvw;
    uint8_t fields[kPrvwFieldsLength];
    if (!ReadBox(uuid.payload + kPreviewBoxAfterUserType, uuid.end, &prvw) || !prvw.Is("PRVW") ||
        !ReadFields(prvw, fields, sizeof fields))
      return;
    TakeBoxedJpeg(prvw, LoadBigEndian16(fields + kPrvwWidthAt),
                  LoadBigEndian16(fields + kPrvwHeightAt), LoadBigEndian32(fields + kPrvwLengthAt),
                  sizeof fields, &preview_);
    Note("PRVW", preview_);
  }

  // A JPEG whose length field must keep it inside its (padded) box.
  static void TakeBoxedJpeg(const Box& box, uint16_t width, uint16_t height, uint32_t length,
                            size_t fields_length, Candidate* candidate) {
    const int64_t jpeg = box.payload + static_cast<int64_t>(fields_length);
    if (length > box.end - jpeg) return;
    *candidate = {true, static_cast<uint64_t>(jpeg), length, width, height};
  }

  // The largest candidate by pixel area that lies wholly in the file; on a
  // tie the full-size track JPEG, then PRVW, then THMB. A sample size or
  // length field longer than any camera writes loses to every other
  // candidate; taken when it is the only one, it is refused with its reason
  // when the preview is read.
  void TakePreview() {
    const uint64_t file_size = static_cast<uint64_t>(s_.input.Size());
    const Candidate* best = nullptr;
    bool best_within = false;
    int64_t best_area = -1;
    for (const Candidate* c : {&track_jpeg_, &preview_, &thumbnail_}) {
      if (!c->found || c->length == 0 || c->length > file_size ||
          c->offset > file_size - c->length || c->offset + c->length > 0xFFFFFFFFu)
        continue;
      const bool within = WithinEmbeddedBound(c->length);
      const int64_t area = static_cast<int64_t>(c->width) * c->height;
      if (!best || (within && !best_within) || (within == best_within && area > best_area)) {
        best = c;
        best_within = within;
        best_area = area;
      }
    }
    if (!best) return;
    ClaimPreview(
        s_, PreviewClaim()
                .Place(static_cast<uint32_t>(best->offset), static_cast<uint32_t>(best->length))
                .Size(best->width, best->height)
                .Kind(PreviewKind::Jpeg));
  }

  ParseState& s_;
  int boxes_visited_ = 0;
  int tracks_met_ = 0;
  Candidate track_jpeg_, preview_, thumbnail_;
  Candidate raw_track_;  // only its size is used
};

}  // namespace

void ParseCr3File(ParseState& s) {
  Cr3Walk(s).Run();
}

}  // namespace engine
