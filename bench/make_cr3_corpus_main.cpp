// Writes a folder of Canon CR3 files for comparing extraction tools: every
// file has the layout of an EOS R body's (see tests/fixtures/cr3_builder.h)
// with its full-size JPEG in the first track (6000x4000 by default, about
// 2.5 MB at quality 99), a 1620x1080 PRVW and a 160x120 THMB, and a manifest
// lists where the engine finds each preview, for the floor program that
// copies exactly those bytes.
//
//   make_cr3_corpus DIR [--files N] [--preview WIDTHxHEIGHT] [--quality Q]
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
#include "tests/fixtures/cr3_builder.h"
#include "tests/fixtures/jpeg.h"

namespace {

bool WriteWhole(const std::string& path, const fixtures::Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

fixtures::Bytes Picture(int width, int height, int quality, uint32_t seed) {
  fixtures::JpegOptions o;
  o.width = width;
  o.height = height;
  o.quality = quality;
  o.seed = seed;
  o.app = fixtures::JpegApp::None;  // as the cameras store them
  return fixtures::MakeJpeg(o);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_cr3_corpus DIR [--files N] [--preview WxH] [--quality Q]\n");
    return 2;
  }
  const std::string dir = argv[1];
  int files = 100, width = 6000, height = 4000, quality = 99;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--files") && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--preview") && i + 1 < argc) {
      std::sscanf(argv[++i], "%dx%d", &width, &height);
    } else if (!std::strcmp(argv[i], "--quality") && i + 1 < argc) {
      quality = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "make_cr3_corpus: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  ::mkdir(dir.c_str(), 0777);
  const std::string manifest_path = dir + "/manifest.tsv";
  FILE* manifest = std::fopen(manifest_path.c_str(), "w");
  if (!manifest) {
    std::fprintf(stderr, "make_cr3_corpus: cannot write %s\n", manifest_path.c_str());
    return 1;
  }
  // As for the NEF corpus: a few distinct full-size pictures in turn.
  constexpr int kDistinctPictures = 4;
  fixtures::Bytes pictures[kDistinctPictures];
  for (int p = 0; p < kDistinctPictures && p < files; ++p)
    pictures[p] = Picture(width, height, quality, static_cast<uint32_t>(p + 1));
  fixtures::Cr3Options o;
  o.shot = {"Canon", "Canon EOS R5"};
  o.preview = {Picture(1620, 1080, 92, 11), 1620, 1080};
  o.thumbnail = {Picture(160, 120, 90, 12), 160, 120};
  o.raw_width = 8192;
  o.raw_height = 5464;

  auto state = std::make_unique<engine::ParseState>();
  for (int i = 0; i < files; ++i) {
    o.track_jpeg = {pictures[i % kDistinctPictures], static_cast<uint16_t>(width),
                    static_cast<uint16_t>(height)};
    const fixtures::Bytes raw = fixtures::MakeCr3File(o);
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.CR3", i + 1);
    if (!WriteWhole(dir + "/" + name, raw)) {
      std::fprintf(stderr, "make_cr3_corpus: cannot write %s/%s\n", dir.c_str(), name);
      return 1;
    }
    // The location as the engine reports it, not as the builder meant it.
    const engine::MemorySource source(raw);
    if (!engine::IdentifySource(source, name, platform::NativePath(), state.get()) ||
        state->preview_length == 0) {
      std::fprintf(stderr, "make_cr3_corpus: the engine finds no preview in %s\n", name);
      return 1;
    }
    std::fprintf(manifest, "%s\t%u\t%u\n", name, state->preview_offset, state->preview_length);
  }
  std::fclose(manifest);
  std::printf("%d files in %s, track JPEG %dx%d q%d of %zu bytes\n", files, dir.c_str(), width,
              height, quality, files > 0 ? pictures[0].size() : size_t{0});
  return 0;
}
