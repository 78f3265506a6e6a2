// The help page and usage line, rendered from the declared option table.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace morvane::cli {

class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;
  std::string make_usage(const CLI::App* app, std::string name) const override;
};

}  // namespace morvane::cli
