#include "cli/options.h"

namespace cli {

namespace {

const OptionSpec* FindLong(const std::vector<OptionSpec>& known_options, const std::string& name) {
  for (const OptionSpec& known_option : known_options) {
    if (name == known_option.long_name) return &known_option;
  }
  return nullptr;
}

const OptionSpec* FindShort(const std::vector<OptionSpec>& known_options, char name) {
  for (const OptionSpec& known_option : known_options) {
    if (known_option.short_name != 0 && known_option.short_name == name) return &known_option;
  }
  return nullptr;
}

}  // namespace

std::string ParsedOptions::Value(const std::string& long_name, const std::string& fallback) const {
  const auto it = values.find(long_name);
  return it == values.end() ? fallback : it->second;
}

bool ParseOptions(const Args& args, const std::vector<OptionSpec>& known_options,
                  ParsedOptions* parsed, std::string* error) {
  *parsed = ParsedOptions();
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      parsed->operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }

    const OptionSpec* known_option = nullptr;
    std::string inline_value;
    bool has_inline_value = false;
    if (arg[1] == '-') {
      const size_t equals = arg.find('=');
      const std::string name =
          arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      known_option = FindLong(known_options, name);
      if (equals != std::string::npos) {
        inline_value = arg.substr(equals + 1);
        has_inline_value = true;
      }
    } else {
      known_option = FindShort(known_options, arg[1]);
      if (arg.size() > 2) {
        inline_value = arg.substr(2);
        has_inline_value = true;
      }
    }
    if (known_option == nullptr) {
      *error = "unknown option '" + arg + "'";
      return false;
    }

    if (!known_option->takes_value) {
      if (has_inline_value) {
        *error = "option '--" + std::string(known_option->long_name) + "' takes no value";
        return false;
      }
      parsed->values[known_option->long_name] = "";
      continue;
    }
    if (has_inline_value) {
      parsed->values[known_option->long_name] = inline_value;
    } else if (i + 1 < args.size()) {
      parsed->values[known_option->long_name] = args[++i];
    } else {
      *error = "option '--" + std::string(known_option->long_name) + "' needs a value";
      return false;
    }
  }
  return true;
}

bool ParseMetadataName(const std::string& text, bool* complete) {
  if (text != "compact" && text != "complete") return false;
  *complete = text == "complete";
  return true;
}

bool ParsePixelBound(const std::string& text, int* pixels) {
  constexpr int kLargestJpegSide = 65535;
  if (text.empty() || text.size() > 5) return false;  // the digits cannot overflow
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kLargestJpegSide) return false;
  *pixels = value;
  return true;
}

}  // namespace cli
