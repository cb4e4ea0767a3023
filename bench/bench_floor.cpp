// The floor for extraction: one process that, for each line of a corpus
// manifest ("name<TAB>offset<TAB>length"), opens the file, preads the preview
// in one call, creates a new output file and writes it in one call. No
// parsing, no Exif header: what copying the bytes alone costs.
//
//   bench_floor CORPUS_DIR OUT_DIR
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Larger than any preview a camera writes; a manifest line beyond it is wrong.
constexpr uint64_t kMaxPreviewBytes = 256u << 20;

double NowSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

bool CopyPreview(const std::string& from, uint64_t offset, uint64_t length, const std::string& to,
                 std::vector<uint8_t>* buffer) {
  const int in = ::open(from.c_str(), O_RDONLY);
  if (in < 0) return false;
  buffer->resize(length);
  const ssize_t got = ::pread(in, buffer->data(), length, static_cast<off_t>(offset));
  ::close(in);
  if (got != static_cast<ssize_t>(length)) return false;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (out < 0) return false;
  const bool wrote = ::write(out, buffer->data(), length) == static_cast<ssize_t>(length);
  return ::close(out) == 0 && wrote;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_floor CORPUS_DIR OUT_DIR\n");
    return 2;
  }
  const std::string corpus = argv[1], out_dir = argv[2];
  FILE* manifest = std::fopen((corpus + "/manifest.tsv").c_str(), "r");
  if (!manifest) {
    std::fprintf(stderr, "bench_floor: no manifest.tsv in %s\n", corpus.c_str());
    return 1;
  }
  struct Entry {
    std::string name;
    uint64_t offset, length;
  };
  std::vector<Entry> entries;
  char name[256];
  unsigned long long offset = 0, length = 0;
  while (std::fscanf(manifest, "%255s %llu %llu", name, &offset, &length) == 3) {
    if (length == 0 || length > kMaxPreviewBytes) {
      std::fprintf(stderr, "bench_floor: implausible length for %s\n", name);
      return 1;
    }
    entries.push_back({name, offset, length});
  }
  std::fclose(manifest);
  ::mkdir(out_dir.c_str(), 0777);
  std::vector<uint8_t> buffer;
  const double start = NowSeconds();
  int copied = 0;
  for (const Entry& e : entries) {
    const std::string stem = e.name.substr(0, e.name.rfind('.'));
    if (CopyPreview(corpus + "/" + e.name, e.offset, e.length, out_dir + "/" + stem + ".jpg",
                    &buffer)) {
      ++copied;
    }
  }
  const double seconds = NowSeconds() - start;
  std::printf("%d of %zu files in %.3f s: %.1f files/s\n", copied, entries.size(), seconds,
              seconds > 0 ? copied / seconds : 0.0);
  return copied == static_cast<int>(entries.size()) ? 0 : 1;
}
