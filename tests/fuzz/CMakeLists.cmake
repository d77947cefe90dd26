# libFuzzer target for the removal check's display-name parsing. Only the "fuzz" preset
# (clang, -fsanitize=fuzzer-no-link,address,undefined) builds it.
option(QTHERM_FUZZ "Build the libFuzzer targets (clang only)" OFF)
set(QTHERM_FUZZ_SOURCE_firmware_replies FirmwareRepliesFuzz.cpp)
set(QTHERM_FUZZ_SOURCE_registry_values RegistryValuesFuzz.cpp)
set(QTHERM_FUZZ_SOURCE_removal_values RemovalValuesFuzz.cpp)
if(QTHERM_FUZZ)
  add_executable(qtherm_fuzz_display_name ${CMAKE_CURRENT_LIST_DIR}/DisplayNameFuzz.cpp)
  target_compile_options(qtherm_fuzz_display_name PRIVATE ${QTHERM_WARNINGS})
  target_link_libraries(qtherm_fuzz_display_name PRIVATE qtherm_system)
  target_link_options(qtherm_fuzz_display_name PRIVATE -fsanitize=fuzzer)
  # The firmware's replies, the registry values the system reads, and the removal check's
  # values of any type and size. Seeds and kept crash inputs: tests/fuzz/<name>/.
  foreach(_fuzz firmware_replies registry_values removal_values)
    add_executable(qtherm_fuzz_${_fuzz} ${CMAKE_CURRENT_LIST_DIR}/${QTHERM_FUZZ_SOURCE_${_fuzz}})
    target_compile_options(qtherm_fuzz_${_fuzz} PRIVATE ${QTHERM_WARNINGS})
    target_link_libraries(qtherm_fuzz_${_fuzz} PRIVATE qtherm_system)
    target_link_options(qtherm_fuzz_${_fuzz} PRIVATE -fsanitize=fuzzer)
  endforeach()
  target_sources(qtherm_fuzz_registry_values PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/TraceCapture.cpp)
endif()
