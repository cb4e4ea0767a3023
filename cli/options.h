// Command-line options of the rawlift subcommands.
//
// A subcommand lists the options it knows; ParseOptions splits its arguments
// into those options and the remaining operands. Accepted forms:
//   --name, --name=VALUE, --name VALUE, -x, -x VALUE, -xVALUE
// "--" ends the options (everything after it is an operand) and a lone "-" is
// an operand (commands read it as standard input or output).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace cli {

struct OptionSpec {
  const char* long_name;  // without the leading "--"
  char short_name;        // 0 when the option has no short form
  bool takes_value;
};

struct ParsedOptions {
  std::map<std::string, std::string> values;  // long name -> value ("" for a flag)
  std::vector<std::string> operands;

  bool Has(const std::string& long_name) const { return values.count(long_name) != 0; }
  // The value of an option, or fallback when it was not given.
  std::string Value(const std::string& long_name, const std::string& fallback = "") const;
};

// Parses args against known_options. On a usage fault (unknown option, missing value,
// a value given to a flag) returns false and describes it in *error. An option
// given twice keeps its last value.
bool ParseOptions(const Args& args, const std::vector<OptionSpec>& known_options,
                  ParsedOptions* parsed, std::string* error);

// The value of --metadata (extract, settings and preview): "compact" or
// "complete", exactly. False for anything else.
bool ParseMetadataName(const std::string& text, bool* complete);

// A pixel count from 1 to 65535 (the largest side a JPEG frame can have):
// digits only, no sign, space or suffix.
bool ParsePixelBound(const std::string& text, int* pixels);

}  // namespace cli
