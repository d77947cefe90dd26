# The platform checks cross-built; tests/wine/scenarios.py runs them under Wine.
add_executable(platformchecks ${CMAKE_CURRENT_LIST_DIR}/PlatformChecks.cpp ${CMAKE_CURRENT_LIST_DIR}/WindowsChecks.cpp)
target_compile_options(platformchecks PRIVATE ${QTHERM_WARNINGS})
target_link_options(platformchecks PRIVATE -municode -static)
# advapi32: a key's DACL from its text form (setKeySecurity).
target_link_libraries(platformchecks PRIVATE qtherm_system advapi32)
set_target_properties(platformchecks PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests-wine)
