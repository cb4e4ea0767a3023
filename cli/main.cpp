// rawlift: the embedded JPEG previews of camera RAW files, from the command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/files.h"
#include "rawlift/version.h"

namespace {

const char kUsage[] =
    "Usage: rawlift COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "Commands:\n"
    "  extract    write the embedded JPEG of RAW files into extracted_jpegs beside them\n"
    "  settings   show or store the extraction settings\n"
    "  identify   show what the engine learns about files\n"
    "  preview    write the embedded JPEG of one file\n"
    "  thumbnail  write a PNG thumbnail of one RAW file\n"
    "\n"
    "rawlift COMMAND --help shows the options of a command; rawlift --version\n"
    "shows the version.\n";

struct Command {
  const char* name;
  int (*run)(const cli::Args&);
};

const Command kCommands[] = {
    {"extract", cli::RunExtract},
    {"settings", cli::RunSettings},
    {"identify", cli::RunIdentify},
    {"preview", cli::RunPreview},
    {"thumbnail", cli::RunThumbnail},
};

int Dispatch(const std::vector<std::string>& argv) {
  if (argv.size() < 2 || argv[1] == "--help" || argv[1] == "-h" || argv[1] == "help") {
    std::fputs(kUsage, argv.size() < 2 ? stderr : stdout);
    return argv.size() < 2 ? 2 : 0;
  }
  if (argv[1] == "--version" || argv[1] == "version") {
    std::fputs("rawlift " RAWLIFT_VERSION_TEXT "\n", stdout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (argv[1] == c.name) return c.run(cli::Args(argv.begin() + 2, argv.end()));
  }
  std::fprintf(stderr, "rawlift: unknown command '%s'\n\n%s", argv[1].c_str(), kUsage);
  return 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(cli::ArgumentFromCommandLine(argv[i]));
  return Dispatch(args);
}
#else
int main(int argc, char** argv) {
  return Dispatch(std::vector<std::string>(argv, argv + argc));
}
#endif
