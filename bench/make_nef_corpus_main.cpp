// Writes a folder of NEF-shaped camera files for comparing extraction tools:
// every file carries its own full-size JPEG preview (6000x4000 by default,
// about 2.5 MB at quality 99: the fixture picture is smooth, so lower
// qualities give far smaller files than a camera's), and a manifest lists
// where the engine finds each preview, for the floor program that copies
// exactly those bytes.
//
//   make_nef_corpus DIR [--files N] [--preview WIDTHxHEIGHT] [--quality Q]
//                       [--first-preview OUT.jpg]
//
// DIR/manifest.tsv: one line per file, "name<TAB>offset<TAB>length".
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine/extract.h"
#include "engine/input.h"
#include "engine/parse_state.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

namespace {

bool WriteWhole(const std::string& path, const fixtures::Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: make_nef_corpus DIR [--files N] [--preview WxH] [--quality Q]"
                 " [--first-preview OUT.jpg]\n");
    return 2;
  }
  const std::string dir = argv[1];
  int files = 100, width = 6000, height = 4000, quality = 99;
  std::string first_preview;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--files") && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--preview") && i + 1 < argc) {
      std::sscanf(argv[++i], "%dx%d", &width, &height);
    } else if (!std::strcmp(argv[i], "--quality") && i + 1 < argc) {
      quality = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--first-preview") && i + 1 < argc) {
      first_preview = argv[++i];
    } else {
      std::fprintf(stderr, "make_nef_corpus: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  ::mkdir(dir.c_str(), 0777);
  const std::string manifest_path = dir + "/manifest.tsv";
  FILE* manifest = std::fopen(manifest_path.c_str(), "w");
  if (!manifest) {
    std::fprintf(stderr, "make_nef_corpus: cannot write %s\n", manifest_path.c_str());
    return 1;
  }
  // Encoding a 24-megapixel JPEG takes a while: a few distinct pictures in
  // turn keep the files from being identical without encoding each one.
  constexpr int kDistinctPictures = 4;
  fixtures::Bytes pictures[kDistinctPictures];
  for (int p = 0; p < kDistinctPictures && p < files; ++p) {
    fixtures::JpegOptions o;
    o.width = width;
    o.height = height;
    o.quality = quality;
    o.seed = static_cast<uint32_t>(p + 1);
    pictures[p] = fixtures::MakeJpeg(o);
  }
  if (!first_preview.empty() && files > 0 && !WriteWhole(first_preview, pictures[0])) {
    std::fprintf(stderr, "make_nef_corpus: cannot write %s\n", first_preview.c_str());
    return 1;
  }
  auto state = std::make_unique<engine::ParseState>();
  for (int i = 0; i < files; ++i) {
    fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D750"};
    const fixtures::Bytes raw = fixtures::MakeNefLike(shot, pictures[i % kDistinctPictures]);
    char name[32];
    std::snprintf(name, sizeof name, "DSC_%04d.NEF", i + 1);
    if (!WriteWhole(dir + "/" + name, raw)) {
      std::fprintf(stderr, "make_nef_corpus: cannot write %s/%s\n", dir.c_str(), name);
      return 1;
    }
    // The location as the engine reports it, not as the builder meant it.
    const engine::MemorySource source(raw);
    if (!engine::IdentifySource(source, name, platform::NativePath(), state.get()) ||
        state->preview_length == 0) {
      std::fprintf(stderr, "make_nef_corpus: the engine finds no preview in %s\n", name);
      return 1;
    }
    std::fprintf(manifest, "%s\t%u\t%u\n", name, state->preview_offset, state->preview_length);
  }
  std::fclose(manifest);
  std::printf("%d files in %s, preview %dx%d q%d of %zu bytes\n", files, dir.c_str(), width, height,
              quality, files > 0 ? pictures[0].size() : size_t{0});
  return 0;
}
