#include "help.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace morvane::cli {
namespace {

// Shown after the option list: what the modes do, for a first-time reader.
constexpr std::string_view kAfterHelp =
    "Without --test, --index or --list, each input is decompressed beside itself\n"
    "(a.bz2 -> a, anything else -> NAME.out). Sizes take a B, K, M, G or T suffix\n"
    "(powers of 1024, e.g. 512M).\n";

// "  -o, --output <OUTPUT>" / "      --test": the left column of one option.
std::string option_label(const CLI::Option* opt) {
  std::string label = "  ";
  const auto& shorts = opt->get_snames();
  label += shorts.empty() ? "    " : "-" + shorts.front() + ", ";
  label += "--" + opt->get_lnames().front();
  if (opt->get_items_expected_max() > 0) label += " <" + opt->get_type_name() + ">";
  return label;
}

std::string positional_label(const CLI::Option* opt) { return "  <" + opt->get_type_name() + ">..."; }

std::string description(const CLI::Option* opt) {
  std::string text = opt->get_description();
  if (!opt->get_default_str().empty()) text += " [default: " + opt->get_default_str() + "]";
  return text;
}

std::string table(const std::vector<std::pair<std::string, std::string>>& rows, std::size_t width) {
  std::string out;
  for (const auto& [label, text] : rows) {
    out += label;
    out += std::string(width + 2 - label.size(), ' ');
    out += text;
    out += '\n';
  }
  return out;
}

}  // namespace

std::string HelpFormatter::make_usage(const CLI::App* app, std::string name) const {
  std::string usage = "Usage: " + name + " [OPTIONS]";
  for (const CLI::Option* opt : app->get_options([](const CLI::Option* o) { return o->get_positional(); })) {
    usage += " <" + opt->get_type_name() + ">...";
  }
  return usage + "\n";
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string name, CLI::AppFormatMode) const {
  std::vector<std::pair<std::string, std::string>> positionals, options;
  for (const CLI::Option* opt : app->get_options()) {
    if (opt->get_positional()) {
      positionals.emplace_back(positional_label(opt), description(opt));
    } else {
      options.emplace_back(option_label(opt), description(opt));
    }
  }
  std::size_t width = 0;
  for (const auto* rows : {&positionals, &options}) {
    for (const auto& row : *rows) width = std::max(width, row.first.size());
  }
  std::string out = app->get_description() + "\n\n" + make_usage(app, name) + "\n";
  out += "Arguments:\n" + table(positionals, width) + "\n";
  out += "Options:\n" + table(options, width) + "\n";
  out += kAfterHelp;
  return out;
}

}  // namespace morvane::cli
