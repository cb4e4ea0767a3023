// What the engine's unit tests share: a parse state over bytes in memory
// (fresh, reset as identification resets it, or identified as a whole file),
// extraction from bytes in memory, small JPEG payloads, sample files and a
// local time zone held for one test. Header-only: every *_test.cpp of this
// folder goes into the one test program, every other .cpp into the engine.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "engine/extract.h"
#include "engine/input.h"
#include "engine/parse_state.h"
#include "engine/parsers.h"
#include "platform/path.h"
#include "tests/fixtures/jpeg.h"

namespace engine_test {

using fixtures::Bytes;

// The name the fixtures go by in the engine's messages.
constexpr const char* kFixtureName = "fixture";
constexpr const char* kSoftware = "Rawlift v1.00";

// Bytes in memory attached as the input of a fresh parse state, with the
// engine's messages switched off. The state reads through `source`, which
// points into `bytes`: the object stays where it was built.
struct MemoryInput {
  explicit MemoryInput(Bytes b) : bytes(std::move(b)), source(bytes) {
    s.input.Attach(&source);
    s.diagnostics = nullptr;
  }
  MemoryInput(const MemoryInput&) = delete;
  MemoryInput& operator=(const MemoryInput&) = delete;

  Bytes bytes;
  engine::MemorySource source;
  engine::ParseState s;
};

// The state as identification leaves it just before it calls a container
// parser: reset over the bytes.
struct Parsed : MemoryInput {
  explicit Parsed(Bytes b) : MemoryInput(std::move(b)) { engine::ResetParseState(s); }
};

// The outcome of one extraction: 1 when a JPEG came back, its bytes, and
// the reason when none did.
struct Extraction {
  int result = 0;
  Bytes jpeg;
  engine::NoPreviewReason reason = engine::NoPreviewReason::kNone;
};

inline Extraction ExtractFrom(const engine::ByteSource& source, const char* software = kSoftware,
                              engine::MetadataMode metadata = engine::MetadataMode::kCompact) {
  engine::ExtractOptions options;
  if (software) options.software = software;
  options.metadata = metadata;
  engine::ExtractedPreview got =
      engine::ExtractEmbeddedPreviewFrom(source, kFixtureName, platform::NativePath(), options);
  Extraction out;
  out.reason = got.reason;
  if (got.extracted()) {
    out.result = 1;
    out.jpeg.assign(got.bytes.get(), got.bytes.get() + got.length);
  }
  return out;
}

inline Extraction Extract(const Bytes& file, const char* software = kSoftware) {
  return ExtractFrom(engine::MemorySource(file), software);
}

// A whole file identified as extraction identifies it. The bytes stay with
// the state, so its input still reads them and the file can be extracted.
struct Identified {
  explicit Identified(Bytes file) : bytes(std::move(file)), source(bytes) {
    s.diagnostics = nullptr;
    identified = engine::IdentifySource(source, kFixtureName, platform::NativePath(), &s);
  }
  Identified(const Identified&) = delete;
  Identified& operator=(const Identified&) = delete;

  Extraction Extract() const { return ExtractFrom(source); }

  Bytes bytes;
  engine::MemorySource source;
  engine::ParseState s;
  bool identified = false;  // what IdentifySource answered
};

// The state identification leaves for a file, detached from the bytes.
inline std::unique_ptr<engine::ParseState> Identify(const Bytes& file) {
  const engine::MemorySource source(file);
  auto s = std::make_unique<engine::ParseState>();
  s->diagnostics = nullptr;
  engine::IdentifySource(source, kFixtureName, platform::NativePath(), s.get());
  s->input.Attach(nullptr);  // the source goes out of scope here
  return s;
}

// A real baseline JPEG of this size; the seed varies the picture.
inline Bytes Jpeg(int width, int height, uint32_t seed = 1,
                  fixtures::JpegApp app = fixtures::JpegApp::Jfif) {
  fixtures::JpegOptions o;
  o.width = width;
  o.height = height;
  o.seed = seed;
  o.app = app;
  return fixtures::MakeJpeg(o);
}

// Bytes placed `offset` bytes into a file whose first bytes are `fill`.
inline Bytes AtOffset(size_t offset, const Bytes& bytes, uint8_t fill = 0) {
  Bytes out(offset, fill);
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

// The NUL-terminated text at a position, empty past the end.
inline std::string TextAt(const Bytes& b, size_t at) {
  return at < b.size() ? std::string(reinterpret_cast<const char*>(b.data() + at)) : "";
}

// A file of the samples folder, empty when the folder or the file is absent.
inline Bytes ReadSample(const std::string& relative) {
  std::ifstream in(std::string(RAWLIFT_SAMPLES_DIR) + "/" + relative, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Sets the local time zone (a POSIX TZ text such as "EST5") while the object
// lives, and puts the old one back.
class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    Set(zone);
  }
  ~LocalZone() {
    if (had_) {
      Set(saved_.c_str());
    } else {
#ifdef _WIN32
      _putenv("TZ=");
      _tzset();
#else
      unsetenv("TZ");
      tzset();
#endif
    }
  }
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

 private:
  static void Set(const char* zone) {
#ifdef _WIN32
    const std::string assignment = std::string("TZ=") + zone;
    _putenv(assignment.c_str());
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
  }
  bool had_ = false;
  std::string saved_;
};

}  // namespace engine_test
