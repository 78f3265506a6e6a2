#include "paths.hpp"

#include <cstdint>
#include <vector>

namespace morvane::cli {
namespace {

enum class Kind { Root, CurDir, ParentDir, Normal };

struct Component {
  Kind kind;
  std::string_view text;
  std::size_t end;  // offset just past the component in the whole path
};

// The components of a path: a leading "/" is the root, a leading "." is kept,
// every other "." and every empty piece between separators is dropped.
std::vector<Component> components(std::string_view path) {
  std::vector<Component> out;
  std::size_t i = 0;
  if (!path.empty() && path[0] == '/') {
    out.push_back({Kind::Root, path.substr(0, 1), 1});
    while (i < path.size() && path[i] == '/') ++i;
  }
  bool leading = out.empty();
  while (i < path.size()) {
    std::size_t start = i;
    while (i < path.size() && path[i] != '/') ++i;
    std::string_view piece = path.substr(start, i - start);
    if (piece == ".") {
      if (leading) out.push_back({Kind::CurDir, piece, i});
    } else if (piece == "..") {
      out.push_back({Kind::ParentDir, piece, i});
    } else if (!piece.empty()) {
      out.push_back({Kind::Normal, piece, i});
    }
    leading = false;
    while (i < path.size() && path[i] == '/') ++i;
  }
  return out;
}

// Length of the well-formed UTF-8 sequence at `s[i]`, or 0 with `bad` set to
// the length of its maximal ill-formed prefix (at least 1).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& bad) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  std::uint8_t b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;  // overlong forms
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;  // overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    std::uint8_t low = k == 1 ? lo : 0x80, high = k == 1 ? hi : 0xBF;
    if (i + k >= s.size() || byte(i + k) < low || byte(i + k) > high) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

bool same_path(std::string_view a, std::string_view b) { return normal_path(a) == normal_path(b); }

// Unambiguous: only the root is "/", names hold no "/", and "." and ".." stand
// only for themselves.
std::string normal_path(std::string_view path) {
  std::string out;
  for (const Component& part : components(path)) {
    if (!out.empty() && out.back() != '/') out += '/';
    out += part.text;
  }
  return out;
}

std::optional<std::string_view> file_name(std::string_view path) {
  auto parts = components(path);
  if (parts.empty() || parts.back().kind != Kind::Normal) return std::nullopt;
  return parts.back().text;
}

std::string parent_dir(std::string_view path) {
  auto parts = components(path);
  if (parts.size() < 2) return parts.size() == 1 && parts[0].kind == Kind::Root ? "/" : ".";
  return std::string(path.substr(0, parts[parts.size() - 2].end));
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (dir.empty() || (!name.empty() && name[0] == '/')) return std::string(name);
  std::string out(dir);
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

std::string default_output(std::string_view input) {
  auto parts = components(input);
  if (!parts.empty() && parts.back().kind == Kind::Normal) {
    const Component& last = parts.back();
    std::size_t dot = last.text.rfind('.');
    // A name whose only "." is its first character has no extension.
    if (dot != std::string_view::npos && dot != 0 && last.text.substr(dot + 1) == "bz2") {
      std::size_t stem_end = last.end - last.text.size() + dot;
      return std::string(input.substr(0, stem_end));
    }
  }
  return std::string(input) + ".out";
}

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t bad = 0;
    std::size_t n = utf8_sequence(text, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string display_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size();) {
    std::size_t bad = 0;
    std::size_t n = utf8_sequence(path, i, bad);
    if (n == 0) {
      out += "\uFFFD";
      i += bad;
    } else {
      out += path.substr(i, n);
      i += n;
    }
  }
  return out;
}

}  // namespace morvane::cli
