# libFuzzer target for the removal check's display-name parsing. Only the "fuzz" preset
# (clang, -fsanitize=fuzzer-no-link,address,undefined) builds it.
option(QTHERM_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(QTHERM_FUZZ)
  add_executable(qtherm_fuzz_display_name ${CMAKE_CURRENT_LIST_DIR}/DisplayNameFuzz.cpp)
  target_compile_options(qtherm_fuzz_display_name PRIVATE ${QTHERM_WARNINGS})
  target_link_libraries(qtherm_fuzz_display_name PRIVATE qtherm_system)
  target_link_options(qtherm_fuzz_display_name PRIVATE -fsanitize=fuzzer)
endif()
