# std::expected for every compiler the project builds with.
#
# libstdc++ 12 offers std::expected (and std::variant's union storage) only when
# the compiler reports __cpp_concepts >= 202002, the value that announces
# conditionally trivial special member functions. clang 16 implements those but
# still reports 201907, so with libstdc++ 12 its <expected> is empty. There the
# build redefines the macro for C++ sources (-U first, so clang does not warn
# about the redefinition), after checking that the library then compiles and
# behaves: the triviality that std::expected and std::variant derive from their
# members, and copies, moves, assignments across value and error, and
# destructions of members that count themselves. (One thing stays out of reach:
# changing a std::variant's alternative during constant evaluation, which clang
# refuses with a compile error, never with wrong code.)
#
# Building against libc++ instead would also give std::expected, but the
# distribution's GoogleTest is built against libstdc++, and the program and the
# Python module would then differ in standard library between the two compilers.
#
# The macro is set for the whole tree (tests and benchmarks too), so that every
# translation unit sees the same std::variant layout.
include(CheckCXXSourceCompiles)
include(CheckCXXSourceRuns)

check_cxx_source_compiles([[
#include <expected>
int main() { std::expected<int, int> e = 1; return *e - 1; }
]] MORVANE_HAS_STD_EXPECTED)

if(NOT MORVANE_HAS_STD_EXPECTED)
  set(MORVANE_CONCEPTS_FLAGS -U__cpp_concepts -D__cpp_concepts=202002L)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} with its standard library offers no std::expected")
  endif()
  list(JOIN MORVANE_CONCEPTS_FLAGS " " CMAKE_REQUIRED_FLAGS)
  check_cxx_source_runs([[
#include <expected>
#include <string>
#include <type_traits>
#include <variant>

struct Counted {
  static inline int live = 0;
  std::string text;
  explicit Counted(std::string t) : text(std::move(t)) { ++live; }
  Counted(const Counted& o) : text(o.text) { ++live; }
  Counted(Counted&& o) noexcept : text(std::move(o.text)) { ++live; }
  Counted& operator=(const Counted&) = default;
  Counted& operator=(Counted&&) = default;
  ~Counted() { --live; }
};

#if !defined(__GLIBCXX__) || _GLIBCXX_RELEASE != 12
#error the redefinition is checked for libstdc++ 12 only
#endif
static_assert(std::is_trivially_copy_constructible_v<std::expected<int, int>>);
static_assert(std::is_trivially_destructible_v<std::expected<int, int>>);
static_assert(!std::is_trivially_copy_constructible_v<std::expected<Counted, int>>);
static_assert(!std::is_trivially_destructible_v<std::expected<int, Counted>>);
static_assert(std::is_trivially_copyable_v<std::variant<int, double>>);
static_assert(!std::is_trivially_destructible_v<std::variant<int, Counted>>);
constexpr int constexpr_variant() { std::variant<int, long> v = 3; return std::get<0>(v); }
static_assert(constexpr_variant() == 3);

int main() {
  {
    std::expected<Counted, Counted> a(Counted("value"));
    std::expected<Counted, Counted> b(std::unexpect, Counted("error"));
    auto c = a;
    c = b;
    if (c.has_value() || c.error().text != "error") return 1;
    c = std::move(a);
    if (!c.has_value() || c->text != "value") return 2;
    std::variant<int, Counted> v = Counted("x");
    auto w = v;
    v = 4;
    if (std::get<Counted>(w).text != "x" || std::get<int>(v) != 4) return 3;
  }
  return Counted::live == 0 ? 0 : 4;
}
]] MORVANE_CONCEPTS_REDEFINITION_WORKS)
  unset(CMAKE_REQUIRED_FLAGS)
  if(NOT MORVANE_CONCEPTS_REDEFINITION_WORKS)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} offers no std::expected, and redefining __cpp_concepts "
      "for its libstdc++ fails the check (see CMakeFiles/CMakeConfigureLog.yaml)")
  endif()
  add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${MORVANE_CONCEPTS_FLAGS}>")
endif()
