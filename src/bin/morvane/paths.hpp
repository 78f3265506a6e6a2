// Path texts as the program compares, names and shows them. Paths are byte
// strings; nothing here consults the file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace morvane::cli {

// Equal component by component: repeated separators, a trailing separator and
// "." components other than a leading one make no difference ("d//a.bz2",
// "d/a.bz2/" and "d/./a.bz2" equal "d/a.bz2"; "./a.bz2" does not).
bool same_path(std::string_view a, std::string_view b);

// The path with those differences taken out: two paths are the same path
// exactly when their normal forms are equal ("d//a.bz2/" gives "d/a.bz2").
std::string normal_path(std::string_view path);

// The last component when it is an ordinary name; nothing for a path that
// ends in "..", for the root, "." or the empty path.
std::optional<std::string_view> file_name(std::string_view path);

// The directory a file at `path` lives in: the path without its last
// component, or "." when that leaves nothing.
std::string parent_dir(std::string_view path);

// `name` inside `dir`; an absolute `name` stands on its own.
std::string join_path(std::string_view dir, std::string_view name);

// The decoded file's default name: a lower-case ".bz2" extension is dropped
// (a.tar.bz2 -> a.tar), anything else gets ".out" appended (a.BZ2 -> a.BZ2.out).
std::string default_output(std::string_view input);

// Whether `text` is well-formed UTF-8.
bool is_utf8(std::string_view text);

// The text for messages: each ill-formed UTF-8 sequence becomes U+FFFD.
std::string display_path(std::string_view path);

}  // namespace morvane::cli
