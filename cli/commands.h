// The subcommands of `rawlift`. Each takes the arguments after its name
// (UTF-8) and returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace cli {

using Args = std::vector<std::string>;

int RunIdentify(const Args& args);
int RunPreview(const Args& args);
int RunExtract(const Args& args);
int RunSettings(const Args& args);
int RunThumbnail(const Args& args);

}  // namespace cli
