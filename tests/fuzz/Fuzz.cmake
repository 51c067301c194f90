# Registers the brief fuzz runs as tests when clang with libFuzzer is installed. The
# targets carry the address sanitizer themselves, so the sanitizer variants of the main
# build do not repeat them.
find_program(OSTREVAN_CLANGXX clang++)
find_program(OSTREVAN_CLANG clang)
if(OSTREVAN_CLANGXX AND OSTREVAN_CLANG AND NOT OSTREVAN_ASAN AND NOT OSTREVAN_TSAN)
  add_test(NAME fuzz_cmdline
    COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/run_fuzzer.sh" "${PROJECT_BINARY_DIR}/fuzz"
            "${FFMPEG_PREFIX}" "${LIBAV_DIR}" cmdline_fuzzer -runs=20000 -max_total_time=20)
  set_tests_properties(fuzz_cmdline PROPERTIES TIMEOUT 1200)
endif()
