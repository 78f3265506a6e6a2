# BLAKE3 from the C sources that the distribution ships with its blake3 crate
# (package librust-blake3-dev); the SIMD kernels are chosen at run time.
file(GLOB MORVANE_BLAKE3_DIRS LIST_DIRECTORIES true /usr/share/cargo/registry/blake3-*/c)
find_path(BLAKE3_C_DIR blake3_dispatch.c HINTS ${MORVANE_BLAKE3_DIRS} NO_DEFAULT_PATH REQUIRED)
add_library(morvane_blake3 STATIC
  ${BLAKE3_C_DIR}/blake3.c
  ${BLAKE3_C_DIR}/blake3_dispatch.c
  ${BLAKE3_C_DIR}/blake3_portable.c
  ${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S)
add_library(morvane::blake3 ALIAS morvane_blake3)
target_include_directories(morvane_blake3 SYSTEM PUBLIC ${BLAKE3_C_DIR})
set_target_properties(morvane_blake3 PROPERTIES C_VISIBILITY_PRESET hidden)
