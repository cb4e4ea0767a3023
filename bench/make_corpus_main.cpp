// Writes a folder of camera files for comparing extraction and thumbnail
// tools, in one of these shapes (--format):
//   nef         NEF-shaped files, the full-size JPEG in a sub-directory and
//               nothing else (the extraction corpus);
//   nef-camera  NEF files as Nikon bodies write them: IFD0 a 160x120 RGB
//               thumbnail, the maker note's preview directory a 640x424
//               JPEG, the first sub-directory the full-size JPEG;
//   cr3         Canon CR3 files with the layout of an EOS R body's (see
//               tests/fixtures/cr3_builder.h): the full-size JPEG in the first
//               track, a 1620x1080 PRVW and a 160x120 THMB beside it;
//   arw         Sony ARW 4.x files: a 1616x1080 preview in IFD0, a 160x120
//               thumbnail in IFD1 and the full-size JPEG in IFD2;
//   arw-preview Sony ARW files as the A7 IV writes them: IFD0 a 1616x1080
//               JPEG preview, IFD1 a 160x120 JPEG thumbnail, no full-size JPEG.
// Every file but an arw-preview carries its own full-size JPEG (6000x4000 by
// default, about 2.5 MB at quality 99: the fixture picture is smooth, so
// lower qualities give far smaller files than a camera's); for an
// arw-preview --preview sizes its IFD0 preview (1616x1080 by default). A manifest lists where the
// engine finds the preview extraction writes, for the floor program that
// copies exactly those bytes.
//
//   make_corpus DIR --format nef|nef-camera|cr3|arw|arw-preview [--files N] [--preview
//   WIDTHxHEIGHT]
//               [--quality Q] [--first-preview OUT.jpg]
//
// DIR/manifest.tsv: one line per file, "name<TAB>offset<TAB>length".
// --first-preview also writes the first file's largest JPEG on its own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "engine/images.h"
#include "engine/input.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/cr3_builder.h"
#include "tests/fixtures/jpeg.h"

namespace {

const char kUsage[] =
    "usage: make_corpus DIR --format nef|nef-camera|cr3|arw|arw-preview [--files N] [--preview WxH]"
    " [--quality Q]"
    " [--first-preview OUT.jpg]\n";

// What a format's files are called and how their largest JPEG is stored.
struct CorpusFormat {
  const char* name;          // the --format value
  const char* file_name;     // printf pattern of the N-th file's name
  fixtures::JpegApp app;     // the APP segment the camera gives its JPEGs
  const char* jpeg_meaning;  // what the largest JPEG is, for the last line
  int width, height;         // its default size
};

const CorpusFormat kFormats[] = {
    {"nef", "DSC_%04d.NEF", fixtures::JpegApp::Jfif, "preview", 6000, 4000},
    {"nef-camera", "DSC_%04d.NEF", fixtures::JpegApp::Jfif, "full-size JPEG", 6000, 4000},
    {"cr3", "IMG_%04d.CR3", fixtures::JpegApp::None, "track JPEG", 6000, 4000},  // as stored
    {"arw", "DSC%05d.ARW", fixtures::JpegApp::None, "full-size JPEG", 6000, 4000},
    {"arw-preview", "DSC%05d.ARW", fixtures::JpegApp::None, "IFD0 preview", 1616, 1080},
};

bool WriteWhole(const std::string& path, const fixtures::Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

fixtures::Bytes Picture(int width, int height, int quality, uint32_t seed, fixtures::JpegApp app) {
  fixtures::JpegOptions o;
  o.width = width;
  o.height = height;
  o.quality = quality;
  o.seed = seed;
  o.app = app;
  return fixtures::MakeJpeg(o);
}

// A builder of one file of the format around its largest JPEG.
std::function<fixtures::Bytes(const fixtures::Bytes&)> FileBuilder(const CorpusFormat& format,
                                                                   int width, int height) {
  const std::string name = format.name;
  if (name == "nef") {
    return [](const fixtures::Bytes& picture) {
      const fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D750"};
      return fixtures::MakeNefLike(shot, picture);
    };
  }
  if (name == "nef-camera") {
    const fixtures::Bytes note_preview = Picture(640, 424, 92, 13, format.app);
    return [note_preview](const fixtures::Bytes& picture) {
      const fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON Z 6_2"};
      return fixtures::MakeNefWithNotePreview(shot, picture, note_preview);
    };
  }
  if (name == "arw") {
    const fixtures::Bytes preview = Picture(1616, 1080, 92, 13, format.app);
    return [preview](const fixtures::Bytes& picture) {
      const fixtures::ShotInfo shot{"SONY", "ILCE-7RM5"};
      return fixtures::MakeArwLike(shot, preview, 32767, &picture);
    };
  }
  if (name == "arw-preview") {
    return [](const fixtures::Bytes& picture) {
      const fixtures::ShotInfo shot{"SONY", "ILCE-7M4"};
      return fixtures::MakeArwLike(shot, picture, 7);  // tiled lossless raw
    };
  }
  fixtures::Cr3Options o;
  o.shot = {"Canon", "Canon EOS R5"};
  o.preview = {Picture(1620, 1080, 92, 11, format.app), 1620, 1080};
  o.thumbnail = {Picture(160, 120, 90, 12, format.app), 160, 120};
  o.raw_width = 8192;
  o.raw_height = 5464;
  return [o, width, height](const fixtures::Bytes& picture) mutable {
    o.track_jpeg = {picture, static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
    return fixtures::MakeCr3File(o);
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string dir = argv[1];
  const CorpusFormat* format = nullptr;
  int files = 100, width = 0, height = 0, quality = 99;
  std::string first_preview;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--format") && i + 1 < argc) {
      const char* name = argv[++i];
      for (const CorpusFormat& f : kFormats) {
        if (!std::strcmp(f.name, name)) format = &f;
      }
      if (format == nullptr) {
        std::fprintf(stderr, "make_corpus: unknown format %s\n%s", name, kUsage);
        return 2;
      }
    } else if (!std::strcmp(argv[i], "--files") && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--preview") && i + 1 < argc) {
      std::sscanf(argv[++i], "%dx%d", &width, &height);
    } else if (!std::strcmp(argv[i], "--quality") && i + 1 < argc) {
      quality = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--first-preview") && i + 1 < argc) {
      first_preview = argv[++i];
    } else {
      std::fprintf(stderr, "make_corpus: unknown argument %s\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (format == nullptr) {
    std::fprintf(stderr, "make_corpus: no --format given\n%s", kUsage);
    return 2;
  }
  if (width <= 0 || height <= 0) {
    width = format->width;
    height = format->height;
  }
  std::error_code ignored;  // a folder that is there already is fine
  std::filesystem::create_directory(dir, ignored);
  const std::string manifest_path = dir + "/manifest.tsv";
  FILE* manifest = std::fopen(manifest_path.c_str(), "w");
  if (!manifest) {
    std::fprintf(stderr, "make_corpus: cannot write %s\n", manifest_path.c_str());
    return 1;
  }
  // Encoding a 24-megapixel JPEG takes a while: a few distinct pictures in
  // turn keep the files from being identical without encoding each one.
  constexpr int kDistinctPictures = 4;
  fixtures::Bytes pictures[kDistinctPictures];
  for (int p = 0; p < kDistinctPictures && p < files; ++p)
    pictures[p] = Picture(width, height, quality, static_cast<uint32_t>(p + 1), format->app);
  if (!first_preview.empty() && files > 0 && !WriteWhole(first_preview, pictures[0])) {
    std::fprintf(stderr, "make_corpus: cannot write %s\n", first_preview.c_str());
    return 1;
  }
  const auto make_file = FileBuilder(*format, width, height);
  for (int i = 0; i < files; ++i) {
    const fixtures::Bytes raw = make_file(pictures[i % kDistinctPictures]);
    char name[32];
    std::snprintf(name, sizeof name, format->file_name, i + 1);
    if (!WriteWhole(dir + "/" + name, raw)) {
      std::fprintf(stderr, "make_corpus: cannot write %s/%s\n", dir.c_str(), name);
      return 1;
    }
    // The location as the engine reports it, not as the builder meant it.
    const engine::MemorySource source(raw);
    engine::Identification id;
    if (!engine::IdentifyImages(source, name, platform::NativePath(), &id) ||
        id.extraction_choice < 0) {
      std::fprintf(stderr, "make_corpus: the engine finds no preview in %s\n", name);
      return 1;
    }
    const engine::EmbeddedImage& chosen = id.images[static_cast<size_t>(id.extraction_choice)];
    std::fprintf(manifest, "%s\t%llu\t%llu\n", name, static_cast<unsigned long long>(chosen.offset),
                 static_cast<unsigned long long>(chosen.length));
  }
  std::fclose(manifest);
  std::printf("%d files in %s, %s %dx%d q%d of %zu bytes\n", files, dir.c_str(),
              format->jpeg_meaning, width, height, quality,
              files > 0 ? pictures[0].size() : size_t{0});
  return 0;
}
