# One fuzz-labelled ctest run: fuzzes PROGRAM (target NAME) for SECONDS after
# replaying its seeds and corpus, under FUZZ_DIR. A finding fails the run (the
# input is saved under FUZZ_DIR/findings/). A target that decodes prints
# "morvane-fuzz: NAME decoded N of M inputs" as it ends, and fails the run
# unless at least a tenth of its inputs decoded: fuzzing that never gets past
# the first refusal checks almost nothing. With DECODING on, the line must be
# there.
#   cmake -DPROGRAM=... -DNAME=... -DSECONDS=... -DFUZZ_DIR=... -DDECODING=ON|OFF -P run_target.cmake
foreach(var PROGRAM NAME SECONDS FUZZ_DIR DECODING)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_target.cmake needs -D${var}=...")
  endif()
endforeach()

# A target without seeds of its own starts from its corpus alone.
set(corpus ${FUZZ_DIR}/corpus/${NAME})
set(seeds ${FUZZ_DIR}/seeds/${NAME})
file(MAKE_DIRECTORY ${corpus} ${seeds} ${FUZZ_DIR}/findings)
execute_process(COMMAND ${PROGRAM} -max_total_time=${SECONDS} -max_len=4096 -print_final_stats=1
                  -artifact_prefix=${FUZZ_DIR}/findings/${NAME}- ${corpus} ${seeds}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
# libFuzzer's progress lines say little afterwards; its closing statistics and
# everything else (a finding's report) are kept.
string(REGEX REPLACE "#[0-9]+\t(NEW|REDUCE|pulse)[^\n]*\n" "" output "${output}")
message("${output}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NAME} failed (status ${status}); a finding is kept under ${FUZZ_DIR}/findings/")
endif()

string(REGEX MATCH "morvane-fuzz: ${NAME} decoded ([0-9]+) of ([0-9]+) inputs" line "${output}")
if(NOT line AND DECODING)
  message(FATAL_ERROR "${NAME} printed no decoded share")
endif()
if(line)
  set(decoded ${CMAKE_MATCH_1})
  set(inputs ${CMAKE_MATCH_2})
  math(EXPR tenfold "${decoded} * 10")
  if(tenfold LESS inputs)
    message(FATAL_ERROR "${NAME} decoded ${decoded} of ${inputs} inputs: less than a tenth")
  endif()
endif()
