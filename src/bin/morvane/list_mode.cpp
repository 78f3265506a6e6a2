#include "list_mode.hpp"

#include <array>
#include <vector>

#include "index_data.hpp"
#include "input.hpp"
#include "stdio.hpp"
#include "target_checks.hpp"

namespace morvane::cli {
namespace {

// Two spaces per nesting level.
constexpr int kJsonIndent = 2;

std::string hex(const std::array<std::uint8_t, 32>& bytes) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

Result<void> print(std::string_view text) {
  if (auto written = write_stdout(text); !written) return fail(Error::io(std::move(written.error())));
  return {};
}

}  // namespace

std::string text_listing(const index::Index& index, const std::string& input, bool with_input) {
  std::string out;
  auto line = [&](std::string_view key, const std::string& value) {
    out += key;
    out += '\t';
    out += value;
    out += '\n';
  };
  if (with_input) line("input", input);
  line("compressed_bytes", std::to_string(index.source_bytes));
  line("decoded_bytes", std::to_string(index.decoded_bytes));
  line("streams", std::to_string(index.streams.size()));
  line("blocks", std::to_string(index.blocks.size()));
  for (std::size_t i = 0; i < index.streams.size(); ++i) {
    const index::StreamIndex& s = index.streams[i];
    line("stream", std::to_string(i) + "\theader=" + std::to_string(s.header_byte) +
                       "\tlevel=" + std::to_string(s.block_size_100k) + "\tblocks=" + std::to_string(s.block_count) +
                       "\tdecoded=" + std::to_string(s.decoded_bytes));
  }
  return out;
}

nlohmann::json json_listing(const index::Index& index, const std::string& input) {
  nlohmann::json blocks = nlohmann::json::array();
  for (std::size_t i = 0; i < index.blocks.size(); ++i) {
    const index::BlockIndex& b = index.blocks[i];
    blocks.push_back({
        {"compressed_end_bit", b.compressed_end_bit},
        {"compressed_start_bit", b.compressed_start_bit},
        {"decoded_bytes", b.decoded_bytes},
        {"decoded_start", b.decoded_start},
        {"expected_crc", b.expected_crc},
        {"number", static_cast<std::uint64_t>(i)},
        {"stream", b.stream},
    });
  }
  nlohmann::json streams = nlohmann::json::array();
  for (std::size_t i = 0; i < index.streams.size(); ++i) {
    const index::StreamIndex& s = index.streams[i];
    streams.push_back({
        {"block_count", s.block_count},
        {"block_size_100k", s.block_size_100k},
        {"decoded_bytes", s.decoded_bytes},
        {"decoded_start", s.decoded_start},
        {"eos_bit", s.eos_bit},
        {"expected_crc", s.expected_crc},
        {"first_block", s.first_block},
        {"header_byte", s.header_byte},
        {"number", static_cast<std::uint64_t>(i)},
    });
  }
  return {
      {"blocks", std::move(blocks)},
      {"decoded_bytes", index.decoded_bytes},
      {"input", input},
      {"source_bytes", index.source_bytes},
      {"source_hash", hex(index.source_hash)},
      {"streams", std::move(streams)},
  };
}

Result<void> run_list(const Cli& cli, decode::DecodeOptions options) {
  std::vector<nlohmann::json> objects;
  for (const std::string& input_path : cli.inputs) {
    // `morvane --list a.bz2 >> a.bz2` would append the listing to the input.
    if (auto checked = check_stdout_not_input(input_path); !checked) return checked;
    auto input = open_input(input_path);
    if (!input) return fail(std::move(input.error()));
    auto built = build_index_data(*input, options, cli.max_output, cli.quiet);
    if (!built) return fail(std::move(built.error()));
    if (cli.json) {
      objects.push_back(json_listing(*built, input_path));
    } else if (auto printed = print(text_listing(*built, input_path, cli.inputs.size() > 1)); !printed) {
      return printed;
    }
  }
  if (!cli.json) return {};
  // Written only once every input has succeeded.
  nlohmann::json document = objects.size() == 1 ? std::move(objects.front()) : nlohmann::json(std::move(objects));
  if (auto written = write_stdout(document.dump(kJsonIndent) + "\n"); !written) {
    return fail(Error::io(IoError::custom(IoKind::Other, written.error().display())));
  }
  return {};
}

}  // namespace morvane::cli
