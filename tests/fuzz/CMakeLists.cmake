# libFuzzer target for the removal check's display-name parsing. Only the "fuzz" preset
# (clang, -fsanitize=fuzzer-no-link,address,undefined) builds it.
option(QTHERM_FUZZ "Build the libFuzzer targets (clang only)" OFF)
set(QTHERM_FUZZ_SOURCE_firmware_replies FirmwareRepliesFuzz.cpp)
set(QTHERM_FUZZ_SOURCE_registry_values RegistryValuesFuzz.cpp)
set(QTHERM_FUZZ_SOURCE_removal_values RemovalValuesFuzz.cpp)
set(QTHERM_FUZZ_SOURCE_command_line CommandLineFuzz.cpp)
if(QTHERM_FUZZ)
  add_executable(qtherm_fuzz_display_name ${CMAKE_CURRENT_LIST_DIR}/DisplayNameFuzz.cpp)
  target_compile_options(qtherm_fuzz_display_name PRIVATE ${QTHERM_WARNINGS})
  target_link_libraries(qtherm_fuzz_display_name PRIVATE qtherm_system)
  target_link_options(qtherm_fuzz_display_name PRIVATE -fsanitize=fuzzer)
  # The firmware's replies, the registry values the system reads, the removal check's
  # values of any type and size, and the command line. Seeds and kept crash inputs:
  # tests/fuzz/<name>/.
  foreach(_fuzz firmware_replies registry_values removal_values command_line)
    add_executable(qtherm_fuzz_${_fuzz} ${CMAKE_CURRENT_LIST_DIR}/${QTHERM_FUZZ_SOURCE_${_fuzz}})
    target_compile_options(qtherm_fuzz_${_fuzz} PRIVATE ${QTHERM_WARNINGS})
    target_link_libraries(qtherm_fuzz_${_fuzz} PRIVATE qtherm_system)
    target_link_options(qtherm_fuzz_${_fuzz} PRIVATE -fsanitize=fuzzer)
  endforeach()
  # Two targets read the system's traces (the capture prints through GoogleTest).
  foreach(_fuzz registry_values command_line)
    target_sources(qtherm_fuzz_${_fuzz} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/TraceCapture.cpp)
    target_link_libraries(qtherm_fuzz_${_fuzz} PRIVATE GTest::gtest)
  endforeach()
endif()
