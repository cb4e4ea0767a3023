// Writes the seed corpora of the fuzz targets into a folder:
//   OUT/extract  synthetic camera files of every container family
//   OUT/settings settings-file images
//   OUT/naming   name patterns with sizes
//   OUT/reduce   JPEG files larger than the reducing target
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings_store.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/cr3_builder.h"
#include "tests/fixtures/foveon_builder.h"
#include "tests/fixtures/fuji_minolta_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/tiff_builder.h"

namespace {

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr,
                 "usage: make_fuzz_corpus OUT (OUT/extract, OUT/settings, OUT/naming, OUT/reduce "
                 "must exist)\n");
    return 2;
  }
  const std::string out = argv[1];
  bool ok = true;
  int n = 0;
  for (const auto& demo : fixtures::MakeDemoFiles())
    ok &= WriteFile(out + "/extract/demo_" + std::to_string(n++) + ".bin", demo.bytes);

  fixtures::JpegOptions small;
  small.width = 16;
  small.height = 16;
  small.app = fixtures::JpegApp::Exif;
  fixtures::RafOptions raf;
  raf.jpeg = fixtures::MakeJpeg(small);
  ok &= WriteFile(out + "/extract/raf.bin", fixtures::MakeRafFile(raf));
  fixtures::MrwOptions mrw;
  mrw.blocks.push_back(fixtures::MrwSensorBlock(false, 32, 32));
  ok &= WriteFile(out + "/extract/mrw.bin", fixtures::MakeMrwFile(mrw));
  fixtures::X3fOptions x3f;
  small.app = fixtures::JpegApp::Jfif;
  x3f.sections.push_back(fixtures::X3fImage(16, 16, fixtures::MakeJpeg(small)));
  x3f.sections.push_back(fixtures::X3fProperties({{"CAMMANUF", "SIGMA"}, {"CAMMODEL", "Fixture"}}));
  ok &= WriteFile(out + "/extract/x3f.bin", fixtures::MakeX3fFile(x3f));

  // Files of later cameras.
  const fixtures::Bytes tiny = fixtures::MakeJpeg(small);
  small.app = fixtures::JpegApp::Exif;
  const fixtures::Bytes tiny_exif = fixtures::MakeJpeg(small);
  ok &=
      WriteFile(out + "/extract/arw.bin", fixtures::MakeArwLike({"SONY", "ILCE-7M4"}, tiny, 32767));
  ok &=
      WriteFile(out + "/extract/rw2.bin", fixtures::MakeRw2Like({"Panasonic", "DC-G9"}, tiny_exif));
  ok &= WriteFile(out + "/extract/proraw_dng.bin",
                  fixtures::MakeProRawDngLike({"Apple", "iPhone 12 Pro"}, tiny));
  ok &= WriteFile(out + "/extract/jxl_dng.bin",
                  fixtures::MakeJpegXlDngLike({"Leica Camera AG", "LEICA M11"}, 52546, &tiny));
  ok &= WriteFile(out + "/extract/ricoh_pef.bin",
                  fixtures::MakeRicohPefLike({"RICOH IMAGING COMPANY, LTD.", "PENTAX K-3 II"},
                                             nullptr, tiny, true));
  ok &= WriteFile(out + "/extract/om_orf.bin",
                  fixtures::MakeOmSystemOrfLike({"OM Digital Solutions", "OM-1"}, tiny));
  ok &= WriteFile(out + "/extract/srw.bin", fixtures::MakeSrwLike({"SAMSUNG", "NX1"}, tiny, 32770));
  ok &= WriteFile(out + "/extract/iiq.bin", fixtures::MakeIiqLike({"Phase One", "IQ4"}, tiny));
  // CR3: the plain layout, the other box forms, and hostile variants whose
  // bytes lead the fuzzer to the guarded paths (PRVW length past its box, a
  // chunk offset past the file, a 64-bit size past the file).
  fixtures::Cr3Options cr3;
  small.app = fixtures::JpegApp::None;
  cr3.track_jpeg = {fixtures::MakeJpeg(small), 6000, 4000};
  cr3.preview = {fixtures::MakeJpeg(small), 1620, 1080};
  cr3.thumbnail = {fixtures::MakeJpeg(small), 160, 120};
  ok &= WriteFile(out + "/extract/cr3.bin", fixtures::MakeCr3File(cr3));
  fixtures::Cr3Options cr3_forms = cr3;
  cr3_forms.stco = cr3_forms.uniform_sample_size = cr3_forms.large_sizes = true;
  cr3_forms.big_endian_metadata = true;
  ok &= WriteFile(out + "/extract/cr3_forms.bin", fixtures::MakeCr3File(cr3_forms));
  fixtures::Cr3Options cr3_boxed = cr3;
  cr3_boxed.track_jpeg.jpeg.clear();
  cr3_boxed.mdat_size_zero = true;
  cr3_boxed.preview_length_delta = 7;
  ok &= WriteFile(out + "/extract/cr3_prvw_past_box.bin", fixtures::MakeCr3File(cr3_boxed));
  fixtures::Cr3Layout cr3_layout;
  std::vector<uint8_t> cr3_outside = fixtures::MakeCr3File(cr3, &cr3_layout);
  fixtures::PutU32(cr3_outside, cr3_layout.boxes["trak1/co64"] + 16, 0xFFFFFFFF, false);
  ok &= WriteFile(out + "/extract/cr3_offset_outside.bin", cr3_outside);
  fixtures::Cr3Options cr3_large = cr3;
  cr3_large.after_ftyp = fixtures::Cr3LargeBox("free", {}, uint64_t{1} << 40);
  ok &= WriteFile(out + "/extract/cr3_size_past_file.bin", fixtures::MakeCr3File(cr3_large));
  // A raw file whose preview has no Exif, with Exif and GPS directories to
  // copy in the complete mode, in both byte orders.
  for (const bool little : {true, false}) {
    fixtures::TiffBuilder t(little);
    const fixtures::IfdId ifd0 = t.NewIfd(), raw = t.NewIfd(), preview = t.NewIfd();
    const fixtures::IfdId exif = t.NewIfd(), gps = t.NewIfd();
    const fixtures::Bytes& jpeg = tiny;  // no Exif of its own
    t.ifd(ifd0).Ascii(271, "NIKON CORPORATION").Ascii(272, "NIKON D850").Short(274, 6);
    t.ifd(ifd0).Ascii(315, "Artist").PointersTo(330, {preview, raw});
    t.ifd(ifd0).PointerTo(34665, exif).PointerTo(34853, gps);
    t.ifd(raw).Long(256, 3008).Long(257, 2000).Short(258, 12).Short(259, 34713);
    t.ifd(raw).Short(262, 32803).OffsetOf(273, t.AddBlob(fixtures::Bytes(64, 1)));
    t.ifd(raw).Short(277, 1).Long(279, 64);
    t.ifd(preview).Short(259, 6).OffsetOf(513, t.AddBlob(jpeg));
    t.ifd(preview).Long(514, static_cast<uint32_t>(jpeg.size()));
    t.ifd(exif).Rational(33434, 1, 250).Ascii(36867, "2024:05:17 14:32:10");
    t.ifd(exif).Undefined(37500, fixtures::Bytes(32, 'N')).Ascii(42036, "24-70mm");
    t.ifd(gps).Raw(0, 1, 4, {2, 3, 0, 0}).Ascii(1, "N").Rational(6, 12345, 10);
    t.Chain({ifd0});
    ok &= WriteFile(out + "/extract/described_" + (little ? "ii" : "mm") + ".bin", t.Build());
  }

  constexpr uint32_t kFuzzMagic = 0x52435653;  // must match fuzz_settings.cpp
  settings::SettingsStore store;
  ok &= WriteFile(out + "/settings/empty.bin", settings::SerializeSettings(store, kFuzzMagic));
  settings::WriteExtractionSettings(settings::ExtractionSettings{}, &store);
  store.Entry(3, 7).type = settings::kSettingText;
  store.Entry(3, 7).text = u"carried";
  store.Entry(4, 1).type = settings::kSettingBytes;
  store.Entry(4, 1).bytes = {1, 2, 3};
  ok &= WriteFile(out + "/settings/full.bin", settings::SerializeSettings(store, kFuzzMagic));

  const char16_t* patterns[] = {u"%N_RLFT_%W.jpg", u"extracted_jpegs_%W", u"%%N%E%H%x%"};
  n = 0;
  for (const char16_t* p : patterns) {
    std::vector<uint8_t> bytes = {0x20, 0x03, 0, 0, 0x58, 0x02, 0, 0};
    for (const char16_t* c = p; *c; ++c) {
      bytes.push_back(static_cast<uint8_t>(*c));
      bytes.push_back(static_cast<uint8_t>(*c >> 8));
    }
    // A NUL, the base name, a NUL, the extension: the rest of the input.
    static const char16_t kNames[] = u"\0trip.day1\0NEF";
    for (size_t i = 0; i + 1 < sizeof kNames / sizeof kNames[0]; ++i) {
      bytes.push_back(static_cast<uint8_t>(kNames[i]));
      bytes.push_back(static_cast<uint8_t>(kNames[i] >> 8));
    }
    ok &= WriteFile(out + "/naming/pattern_" + std::to_string(n++) + ".bin", bytes);
  }
  // Colour and grey, wide and tall, with and without metadata, each larger
  // than the fuzz target's 64 by 64 bound.
  const fixtures::JpegOptions pictures[] = {
      {200, 120, 3, 90, 1, fixtures::JpegApp::Exif},
      {96, 300, 1, 75, 2, fixtures::JpegApp::Jfif},
      {130, 65, 3, 95, 3, fixtures::JpegApp::None},
  };
  n = 0;
  for (const fixtures::JpegOptions& picture : pictures) {
    ok &= WriteFile(out + "/reduce/picture_" + std::to_string(n++) + ".jpg",
                    fixtures::MakeJpeg(picture));
  }
  // The thumbnail turns by the preview's Exif orientation: one in each byte
  // order, a quarter turn and a mirror.
  for (const auto& [orientation, little] : {std::pair<uint16_t, bool>{6, true}, {7, false}}) {
    fixtures::TiffBuilder tiff(little);
    auto ifd0 = tiff.NewIfd();
    tiff.ifd(ifd0).Ascii(271, "Maker").Short(0x0112, orientation);
    tiff.Chain({ifd0});
    fixtures::Bytes body = {'E', 'x', 'i', 'f', 0, 0};
    const fixtures::Bytes t = tiff.Build();
    body.insert(body.end(), t.begin(), t.end());
    fixtures::JpegOptions picture;
    picture.width = 120;
    picture.height = 80;
    picture.app = fixtures::JpegApp::None;
    picture.picture = fixtures::JpegPicture::Quarters;
    ok &= WriteFile(out + "/reduce/oriented_" + std::to_string(orientation) + ".jpg",
                    fixtures::InsertSegmentAfterSoi(fixtures::MakeJpeg(picture), 0xE1, body));
  }
  return ok ? 0 : 1;
}
