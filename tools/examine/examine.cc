#include "tools/examine/examine.h"

#include <charconv>
#include <exception>
#include <functional>
#include <string_view>

#include "model/file_system.h"
#include "native/errors.h"
#include "tools/examine/commands.h"
#include "tools/examine/read_only_file_system.h"

namespace ombrel::inspect {
namespace {

constexpr const char* USAGE =
    "usage: ombrel-inspect ls ROOT [--json]\n"
    "       ombrel-inspect segment DIR [--json]\n"
    "       ombrel-inspect verify ROOT|PARTITION|SEGMENT [--json]\n"
    "       ombrel-inspect dump PARTITION|SEGMENT [--ts T] [--columns a,b] [--limit N]\n"
    "                           [--format csv|jsonl]\n"
    "Reads a storage directory and changes nothing in it. Exit status: 0 when all is sound,\n"
    "1 when damage was found or a path cannot be read, 2 when the command line is wrong.\n";

struct usage_error {
  std::string message;
};

template <typename T>
T parse_number(std::string_view option, std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end) {
    throw usage_error{std::string(option) + " needs a number, not \"" + std::string(text) + "\""};
  }
  return value;
}

std::vector<std::string> split_columns(const std::string& text) {
  std::vector<std::string> names;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    names.push_back(text.substr(start, comma - start));
    if (names.back().empty()) throw usage_error{"--columns needs names separated by commas"};
    if (comma == std::string::npos) return names;
    start = comma + 1;
  }
}

command_options parse(std::string_view command, const std::vector<std::string>& args) {
  const bool dump = command == "dump";
  command_options options;
  bool have_path = false;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> value;
    if (option.starts_with("--") && option.find('=') != std::string::npos) {
      value = option.substr(option.find('=') + 1);
      option.resize(option.find('='));
    }
    auto take_value = [&]() -> std::string {
      if (value) return *value;
      if (i + 1 >= args.size()) throw usage_error{option + " needs a value"};
      return args[++i];
    };
    if (option == "--json" && !dump && !value) {
      options.json = true;
    } else if (dump && option == "--ts") {
      options.timestamp = parse_number<int64_t>(option, take_value());
    } else if (dump && option == "--limit") {
      options.limit = parse_number<uint64_t>(option, take_value());
    } else if (dump && option == "--columns") {
      options.columns = split_columns(take_value());
    } else if (dump && option == "--format") {
      const std::string format = take_value();
      if (format == "csv") {
        options.format = text_form::csv;
      } else if (format == "jsonl") {
        options.format = text_form::json;
      } else {
        throw usage_error{"--format is csv or jsonl, not \"" + format + "\""};
      }
    } else if (option.starts_with("--") || have_path) {
      throw usage_error{"unexpected argument \"" + args[i] + "\" for " + std::string(command)};
    } else {
      options.path = option;
      have_path = true;
    }
  }
  if (!have_path) throw usage_error{std::string(command) + " needs a directory"};
  return options;
}

}  // namespace

int run_inspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const terminal& term) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    out << USAGE;
    return EXIT_SOUND;
  }
  const std::string command = args.empty() ? "" : args[0];
  using runner = std::function<int(const command_options&)>;
  runner run;
  if (command == "ls") {
    run = [&](const command_options& o) { return list_storage(o, out, err); };
  } else if (command == "segment") {
    run = [&](const command_options& o) { return describe_segment(o, out, err); };
  } else if (command == "verify") {
    run = [&](const command_options& o) { return verify_storage(o, out, err, term); };
  } else if (command == "dump") {
    run = [&](const command_options& o) { return dump_rows(o, out, err); };
  } else {
    err << (command.empty() ? std::string()
                            : "ombrel-inspect: unknown command \"" + command + "\"\n")
        << USAGE;
    return EXIT_USAGE;
  }
  command_options options;
  try {
    options = parse(command, args);
  } catch (const usage_error& e) {
    err << "ombrel-inspect: " << e.message << '\n' << USAGE;
    return EXIT_USAGE;
  }
  read_only_file_system read_only;
  scoped_file_system guard(read_only);
  try {
    return run(options);
  } catch (const std::exception& e) {
    out.flush();
    err << "ombrel-inspect: " << errors::describe(e)
        << (command == "dump" ? " (verify names the damaged file)\n" : "\n");
    return EXIT_DAMAGE;
  }
}

}  // namespace ombrel::inspect
