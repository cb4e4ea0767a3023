#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/parsers.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/makernote_builder.h"
#include "tests/fixtures/tiff_builder.h"

using namespace engine;
using namespace engine_test;
using fixtures::Bytes;
using fixtures::ByteWriter;
using fixtures::MakerNote;
using fixtures::NoteDirectory;
using fixtures::NoteHeader;
using fixtures::TiffBuilder;

namespace {

// Where a note lands in the test files: this far after the file's TIFF
// header, which itself sits kBase bytes into the file.
constexpr uint32_t kBase = 8;
constexpr uint32_t kNoteOffset = 40;

// A file holding only a maker note at kBase + kNoteOffset, parsed as the
// Exif directory would hand it over. `order` is the byte order in force.
std::unique_ptr<Parsed> ParseNote(const MakerNote& note, uint16_t order, const char* make = "") {
  Bytes file = AtOffset(kBase + kNoteOffset, note.Build(kNoteOffset), 0xEE);
  file.resize(file.size() + 32, 0);  // room after the note, as a real file has
  auto p = std::make_unique<Parsed>(std::move(file));
  SetText(p->s.shot.make, make);
  p->s.byte_order = order;
  p->s.input.Seek(kBase + kNoteOffset);
  ParseMakerNote(p->s, kBase, 0);
  return p;
}

uint16_t Order(bool little) {
  return little ? 0x4949 : 0x4D4D;
}

}  // namespace

TEST(MakerNoteHeaders, EveryDirectoryKindFindsItsEntriesAndOffsets) {
  const NoteHeader kinds[] = {NoteHeader::NikonTiff, NoteHeader::Olympus, NoteHeader::Olymp,
                              NoteHeader::Leica,     NoteHeader::Ricoh,   NoteHeader::Epson,
                              NoteHeader::Fujifilm,  NoteHeader::Sony,    NoteHeader::Panasonic,
                              NoteHeader::Aoc,       NoteHeader::Qvc,     NoteHeader::Plain};
  for (NoteHeader kind : kinds) {
    for (bool little : {true, false}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + (little ? " II" : " MM"));
      MakerNote note(kind, little);
      const int data = note.AddData(Bytes(100, 0xAB));
      note.root().OffsetOfData(0x0088, data).Long(0x0089, 100).Long(0x0008, 1234);
      auto p = ParseNote(note, Order(little));
      EXPECT_EQ(RulesChoice(p->s).offset, kBase + kNoteOffset + note.DataPosition(data));
      EXPECT_EQ(RulesChoice(p->s).length, 100u);
      EXPECT_EQ(p->s.shot.shot_order, 1234u);
      EXPECT_EQ(p->s.byte_order, Order(little));
    }
  }
}

TEST(MakerNoteHeaders, NonDirectoryNotesReadNothing) {
  for (NoteHeader kind : {NoteHeader::Kdk, NoteHeader::Ver, NoteHeader::Iiii, NoteHeader::Mmmm}) {
    MakerNote note(kind, true);
    // A body that would set the preview if it were walked as a directory.
    ByteWriter w(true);
    w.u16(1).u16(0x0088).u16(4).u32(1).u32(500).u32(0);
    note.SetBody(w.take());
    auto p = ParseNote(note, 0x4D4D);
    EXPECT_EQ(RulesChoice(p->s).offset, 0u);
    EXPECT_EQ(p->s.byte_order, 0x4D4D);
  }
}

TEST(MakerNoteHeaders, WhiteBalanceScanOfKcAndMlyNotes) {
  for (NoteHeader kind : {NoteHeader::Kc, NoteHeader::Mly}) {
    MakerNote note(kind, false);
    // The scan starts 10 bytes into the note.
    const size_t header = kind == NoteHeader::Kc ? 2 : 3;
    ByteWriter w(false);
    w.zeros(10 - header).u16(7).u16(300).u16(256).u16(400).u16(256).u16(9);
    note.SetBody(w.take());
    // With no raw data offset known the scan has nowhere to run.
    auto p = ParseNote(note, 0x4949);
    EXPECT_FLOAT_EQ(p->s.raw.first_camera_multiplier, 0);
    p->s.raw.raw_data_offset = 0xFFFFFFFF;
    p->s.input.Seek(kBase + kNoteOffset);
    ParseMakerNote(p->s, kBase, 0);
    EXPECT_FLOAT_EQ(p->s.raw.first_camera_multiplier, 300);
    EXPECT_EQ(p->s.byte_order, 0x4949);
  }
  {
    // No raw data offset bound and a file that ends before 16384: the scan
    // stops at the end of the file.
    MakerNote note(NoteHeader::Kc, false);
    note.SetBody(Bytes(6, 0));
    Bytes file = note.Build(0);
    Parsed p(file);
    p.s.raw.raw_data_offset = 0xFFFFFFFF;
    p.s.input.Seek(0);
    ParseMakerNote(p.s, 0, 0);
    EXPECT_FLOAT_EQ(p.s.raw.first_camera_multiplier, 0);
  }
}

TEST(MakerNoteNikon, PreviewDirectoryBecomesARecord) {
  for (bool little : {true, false}) {
    SCOPED_TRACE(little ? "II" : "MM");
    MakerNote note(NoteHeader::NikonTiff, little);
    const Bytes jpeg = Jpeg(200, 150);
    const int data = note.AddData(jpeg);
    auto preview = NoteDirectory::Make();
    preview->OffsetOfData(513, data).Long(514, static_cast<uint32_t>(jpeg.size()));
    note.root().Short(0x0002, {0, 200}).PointerTo(0x0011, preview, 4);
    auto p = ParseNote(note, 0x4D4D, "NIKON CORPORATION");
    ASSERT_EQ(p->s.ifd_count, 1u);
    const IfdRecord& r = p->s.ifd_table[0];
    EXPECT_EQ(static_cast<uint32_t>(r.offset), kBase + kNoteOffset + note.DataPosition(data));
    EXPECT_EQ(static_cast<uint32_t>(r.byte_count), jpeg.size());
    EXPECT_EQ(r.compression, 6);
    EXPECT_EQ(r.width, 200);
    EXPECT_FLOAT_EQ(p->s.shot.iso_speed, 200);
    EXPECT_EQ(p->s.byte_order, 0x4D4D);
  }
  {
    // Not followed once the file is known not to be raw.
    MakerNote note(NoteHeader::NikonTiff, true);
    auto preview = NoteDirectory::Make();
    preview->Long(514, 10);
    note.root().PointerTo(0x0011, preview, 4);
    Bytes file(kBase + kNoteOffset, 0);
    const Bytes bytes = note.Build(kNoteOffset);
    file.insert(file.end(), bytes.begin(), bytes.end());
    Parsed p(file);
    SetText(p.s.shot.make, "NIKON");
    p.s.raw.raw_count = 0;
    p.s.input.Seek(kBase + kNoteOffset);
    ParseMakerNote(p.s, kBase, 0);
    EXPECT_EQ(p.s.ifd_count, 0u);
  }
}

TEST(MakerNoteNikon, HeaderMagicOtherThan42IgnoresTheNote) {
  for (bool little : {true, false}) {
    MakerNote note(NoteHeader::NikonTiff, little);
    note.SetNikonMagic(43);
    note.root().Long(0x0008, 99).Short(0x0002, {0, 800});
    auto p = ParseNote(note, 0x4D4D, "NIKON");
    EXPECT_EQ(p->s.shot.shot_order, 0u);
    EXPECT_FLOAT_EQ(p->s.shot.iso_speed, 0);
    EXPECT_EQ(p->s.byte_order, 0x4D4D);
  }
}

TEST(MakerNoteNikon, CaptureNoteVisitsEachRecordAtItsStart) {
  // 22 bytes of header, then records: tag, 14 bytes, size, payload of size - 4.
  auto capture = [](std::vector<std::pair<uint32_t, uint16_t>> records, uint32_t payload_extra) {
    ByteWriter w(true);
    w.zeros(22);
    for (const auto& r : records) {
      w.u32(r.first).zeros(14).u32(6 + payload_extra).u16(r.second).zeros(payload_extra);
    }
    return w.take();
  };
  for (bool little : {true, false}) {
    // The first record's payload looks like a record at the wrong place.
    Bytes decoy;
    ByteWriter d(true);
    d.u32(0x76A43207);
    decoy = d.take();
    MakerNote note(NoteHeader::Plain, little);
    Bytes value = capture({{0x76A43207, 90}, {0x76A43207, 270}}, 4);
    std::copy(decoy.begin(), decoy.end(), value.begin() + 22 + 22 + 2);
    note.root().Raw(0x0E01, 7, static_cast<uint32_t>(value.size()), value);
    auto p = ParseNote(note, Order(little));
    EXPECT_EQ(p->s.shot.orientation, 270);
    EXPECT_EQ(p->s.byte_order, Order(little));
  }
  {
    // A record past the declared count is not read.
    MakerNote note(NoteHeader::Plain, true);
    const Bytes value = capture({{0x76A43207, 90}, {0x76A43207, 270}}, 0);
    note.root().Raw(0x0E01, 7, 22 + 24 + 10, value);
    auto p = ParseNote(note, 0x4949);
    EXPECT_EQ(p->s.shot.orientation, 90);
  }
  {
    // A huge count over a short file ends at the end of the file; records of
    // size 0 still move on.
    MakerNote note(NoteHeader::Plain, true);
    ByteWriter w(true);
    w.zeros(22).u32(1).zeros(14).u32(0).zeros(40);
    const Bytes value = w.take();
    note.root().Raw(0x0E01, 7, 0xFFFFFFF0, value);
    auto p = ParseNote(note, 0x4949);
    EXPECT_EQ(p->s.shot.orientation, -1);
    EXPECT_EQ(p->s.byte_order, 0x4949);
  }
}

TEST(MakerNoteOlympus, PreviewNoteSetsOffsetFromNoteStart) {
  for (uint16_t pointer_type : {uint16_t{7}, uint16_t{13}}) {
    for (bool little : {true, false}) {
      SCOPED_TRACE(std::to_string(pointer_type) + (little ? " II" : " MM"));
      MakerNote note(NoteHeader::Olympus, little);
      auto camera = NoteDirectory::Make();
      camera->Long(256, 1).Long(257, 1000).Long(258, 50000);
      if (pointer_type == 7)
        note.root().Embedded(0x2020, camera);
      else
        note.root().PointerTo(0x2020, camera, 13);
      auto p = ParseNote(note, 0x4D4D);
      EXPECT_EQ(RulesChoice(p->s).offset, kBase + kNoteOffset + 1000);
      EXPECT_EQ(RulesChoice(p->s).length, 50000u);
      EXPECT_EQ(p->s.byte_order, 0x4D4D);
    }
  }
}

TEST(MakerNoteOlympus, ImageProcessingSubdirectoryRecursesOnce) {
  MakerNote note(NoteHeader::Olympus, true);
  auto processing = NoteDirectory::Make();
  // Inside, tags read as 0x2040xxxx: the preview rule does not fire, and a
  // nested 0x2040 pointing back at the directory is not followed.
  processing->Long(0x0088, 500).PointerToSelf(0x2040, 13);
  note.root().PointerTo(0x2040, processing, 13).PointerTo(0x2040, processing, 13);
  auto p = ParseNote(note, 0x4949);
  EXPECT_EQ(RulesChoice(p->s).offset, 0u);
}

TEST(MakerNoteRules, PreviewOffsetAndLengthEntries) {
  {
    // 0x0088 of 0 clears a preview found before.
    MakerNote note(NoteHeader::Plain, true);
    note.root().Long(0x0088, 0);
    Bytes file(kBase + kNoteOffset, 0);
    const Bytes bytes = note.Build(kNoteOffset);
    file.insert(file.end(), bytes.begin(), bytes.end());
    Parsed p(file);
    p.s.byte_order = 0x4949;
    ClaimPreview(p.s, PreviewClaim().Offset(1234));
    p.s.input.Seek(kBase + kNoteOffset);
    ParseMakerNote(p.s, kBase, 0);
    EXPECT_EQ(RulesChoice(p.s).offset, 0u);
  }
  {
    // 0x0088 and 0x0089 of another type are not taken.
    MakerNote note(NoteHeader::Plain, true);
    note.root().Short(0x0088, 77).Short(0x0089, 88);
    auto p = ParseNote(note, 0x4949);
    EXPECT_EQ(RulesChoice(p->s).offset, 0u);
    EXPECT_EQ(RulesChoice(p->s).length, 0u);
  }
  {
    // Undefined 0x0100 and byte 0x0280 values are the preview itself.
    for (uint16_t tag : {uint16_t{0x0100}, uint16_t{0x0081}, uint16_t{0x0280}}) {
      MakerNote note(NoteHeader::Plain, false);
      note.root().Raw(tag, tag == 0x0280 ? 1 : 7, 16, Bytes(16, 0xD8));
      auto p = ParseNote(note, 0x4D4D);
      EXPECT_GT(RulesChoice(p->s).offset, kBase + kNoteOffset) << tag;
      EXPECT_EQ(RulesChoice(p->s).length, 16u) << tag;
      EXPECT_EQ(p->bytes[RulesChoice(p->s).offset], 0xD8);
    }
  }
}

TEST(MakerNoteRules, EntryLimit) {
  for (uint16_t declared : {uint16_t{1000}, uint16_t{1001}}) {
    MakerNote note(NoteHeader::Plain, true);
    note.root().Long(0x0008, 5).DeclaredCount(declared);
    auto p = ParseNote(note, 0x4949);
    EXPECT_EQ(p->s.shot.shot_order, declared == 1000 ? 5u : 0u) << declared;
    EXPECT_EQ(p->s.byte_order, 0x4949);
  }
}

TEST(MakerNoteRules, DescriptionEntries) {
  {
    MakerNote note(NoteHeader::Plain, true);
    note.root().Ascii(0x0009, "Owner Name").Ascii(0x0015, "Corrected Model").Long(0x0010, 0xCAFE);
    auto p = ParseNote(note, 0x4949, "Canon");
    EXPECT_STREQ(p->s.shot.artist, "Owner Name");
    EXPECT_STREQ(p->s.shot.model, "Corrected Model");
    EXPECT_EQ(p->s.shot.unique_id, 0xCAFEu);
  }
  {
    // Artist only for Canon.
    MakerNote note(NoteHeader::Plain, true);
    note.root().Ascii(0x0009, "Owner Name");
    auto p = ParseNote(note, 0x4949, "Other");
    EXPECT_STREQ(p->s.shot.artist, "");
  }
  {
    // Canon shot information: ISO 100, f/4, 1/8 s, shot 17.
    MakerNote note(NoteHeader::Plain, false);
    std::vector<uint16_t> shot(30, 0);
    shot[2] = 160;  // ISO: 50 * 2^(160/32 - 4)
    shot[4] = 128;  // aperture: 2^(128/64)
    shot[5] = 96;   // shutter: 2^(-96/32)
    shot[9] = 17;
    note.root().Short(0x0004, shot);
    auto p = ParseNote(note, 0x4D4D, "Canon");
    EXPECT_FLOAT_EQ(p->s.shot.iso_speed, 100);
    EXPECT_FLOAT_EQ(p->s.shot.aperture, 4);
    EXPECT_FLOAT_EQ(p->s.shot.shutter, 0.125f);
    EXPECT_EQ(p->s.shot.shot_order, 17u);
  }
}

TEST(PreviewNote, EntryCountBoundedByTheFile) {
  ByteWriter w(true);
  w.u16(0xFFFF);
  w.u16(136).u16(4).u32(1).u32(300);
  w.u16(137).u16(4).u32(1).u32(4000);
  Parsed p(w.take());
  p.s.byte_order = 0x4949;
  p.s.input.Seek(0);
  ParsePreviewNote(p.s, 20, 136, 137);
  EXPECT_EQ(RulesChoice(p.s).offset, 320u);
  EXPECT_EQ(RulesChoice(p.s).length, 4000u);

  // An offset that passes 32 bits with the base stays outside the file
  // rather than wrapping to its start.
  p.s.input.Seek(0);
  ParsePreviewNote(p.s, 0xFFFFFF00, 136, 137);
  EXPECT_EQ(RulesChoice(p.s).offset, 0xFFFFFFFFu);
}

TEST(KodakDirectory, IsoAndEntryLimit) {
  for (uint16_t declared : {uint16_t{1}, uint16_t{1025}}) {
    ByteWriter w(false);
    w.u16(declared).u16(6020).u16(3).u32(1).u16(200).u16(0);
    w.zeros(64);
    Parsed p(w.take());
    p.s.byte_order = 0x4D4D;
    p.s.input.Seek(0);
    ParseKodakDirectory(p.s, 0);
    EXPECT_FLOAT_EQ(p.s.shot.iso_speed, declared == 1 ? 200 : 0);
  }
}

TEST(MakerNoteInTiff, OlympusPreviewBeatsTheThumbnail) {
  // A whole file: IFD0 thumbnail, Exif directory, Olympus maker note whose
  // camera-settings directory locates a JPEG inside the note.
  for (bool little : {true, false}) {
    SCOPED_TRACE(little ? "II" : "MM");
    const Bytes jpeg = Jpeg(320, 240);
    MakerNote note(NoteHeader::Olympus, little);
    const int data = note.AddData(jpeg);
    auto camera = NoteDirectory::Make();
    camera->Long(256, 1).OffsetOfData(257, data).Long(258, static_cast<uint32_t>(jpeg.size()));
    note.root().Embedded(0x2020, camera);

    TiffBuilder t(little);
    const auto ifd0 = t.NewIfd(), exif = t.NewIfd();
    const auto thumb = t.AddBlob(Bytes(160 * 120 * 3, 1));
    const auto note_blob = t.AddPositionedBlob(note.Blob());
    t.ifd(ifd0).Long(256, 160).Long(257, 120).Short(258, {8, 8, 8}).Short(259, 1).Short(262, 2);
    t.ifd(ifd0).Ascii(271, "OLYMPUS IMAGING CORP.").OffsetOf(273, thumb).Short(277, 3);
    t.ifd(ifd0).Long(279, 160 * 120 * 3).PointerTo(34665, exif);
    t.ifd(exif).BlobValue(37500, 7, note.size(), note_blob);
    t.Chain({ifd0});
    Parsed p(t.Build());
    // A raw size found before (as a container parser finds it) keeps the
    // thumbnail from being taken as the raw image.
    p.s.raw.raw_width = 4000;
    p.s.raw.raw_height = 3000;
    ParseTiff(p.s, 0);
    EXPECT_EQ(RulesChoice(p.s).offset, t.BlobOffset(note_blob) + note.DataPosition(data));
    EXPECT_EQ(RulesChoice(p.s).length, jpeg.size());
    EXPECT_EQ(RulesChoice(p.s).width, 320);
    EXPECT_EQ(RulesChoice(p.s).kind, PreviewKind::Jpeg);
    EXPECT_EQ(p.s.byte_order, little ? 0x4949 : 0x4D4D);
  }
}
