#include "cli/options.h"

namespace cli {

namespace {

const OptionSpec* FindLong(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& spec : specs) {
    if (name == spec.long_name) return &spec;
  }
  return nullptr;
}

const OptionSpec* FindShort(const std::vector<OptionSpec>& specs, char name) {
  for (const OptionSpec& spec : specs) {
    if (spec.short_name != 0 && spec.short_name == name) return &spec;
  }
  return nullptr;
}

}  // namespace

std::string ParsedOptions::Value(const std::string& long_name, const std::string& fallback) const {
  const auto it = values.find(long_name);
  return it == values.end() ? fallback : it->second;
}

bool ParseOptions(const Args& args, const std::vector<OptionSpec>& specs, ParsedOptions* parsed,
                  std::string* error) {
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

    const OptionSpec* spec = nullptr;
    std::string inline_value;
    bool has_inline_value = false;
    if (arg[1] == '-') {
      const size_t equals = arg.find('=');
      const std::string name =
          arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      spec = FindLong(specs, name);
      if (equals != std::string::npos) {
        inline_value = arg.substr(equals + 1);
        has_inline_value = true;
      }
    } else {
      spec = FindShort(specs, arg[1]);
      if (arg.size() > 2) {
        inline_value = arg.substr(2);
        has_inline_value = true;
      }
    }
    if (spec == nullptr) {
      *error = "unknown option '" + arg + "'";
      return false;
    }

    if (!spec->takes_value) {
      if (has_inline_value) {
        *error = "option '--" + std::string(spec->long_name) + "' takes no value";
        return false;
      }
      parsed->values[spec->long_name] = "";
      continue;
    }
    if (has_inline_value) {
      parsed->values[spec->long_name] = inline_value;
    } else if (i + 1 < args.size()) {
      parsed->values[spec->long_name] = args[++i];
    } else {
      *error = "option '--" + std::string(spec->long_name) + "' needs a value";
      return false;
    }
  }
  return true;
}

}  // namespace cli
