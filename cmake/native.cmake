# Native build: the same system sources over the simulated machine, plus the tests.
if(QTHERM_SANITIZE)
  add_compile_options(-fsanitize=${QTHERM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QTHERM_SANITIZE})
  # The system library was created before these directory options: instrument it too.
  target_compile_options(qtherm_system PRIVATE -fsanitize=${QTHERM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()

find_package(Threads REQUIRED)
file(GLOB QTHERM_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/sim/*.cpp)
add_library(qtherm_sim STATIC ${QTHERM_SIM_SOURCES})
target_include_directories(qtherm_sim PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(qtherm_sim PRIVATE ${QTHERM_WARNINGS})
target_link_libraries(qtherm_sim PUBLIC Threads::Threads)
# Every function of the machine marks the thread as inside the machine while it runs, so
# that the allocation sweep tells the machine's allocations from the system's. Headers
# and the standard library stay unmarked: their inline code is shared with the system.
# The Release build (benchmarks) counts instructions, so it goes without.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  target_compile_options(qtherm_sim PRIVATE -finstrument-functions -finstrument-functions-exclude-file-list=.h,/usr/)
endif()

target_link_libraries(qtherm_system PUBLIC qtherm_sim)

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)
file(GLOB QTHERM_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_executable(qtherm_tests ${QTHERM_TEST_SOURCES})
target_compile_options(qtherm_tests PRIVATE ${QTHERM_WARNINGS})
target_link_libraries(qtherm_tests PRIVATE qtherm_system GTest::gtest GTest::gtest_main GTest::gmock)
# One process per test: the mode manager is a process-wide singleton, as in the product.
# The fault sweeps each keep half the cores busy with runs in child processes of their own
# (reliability::defaultParallelism): CTest counts them so, and never oversubscribes.
set(QTHERM_SWEEP_TESTS "Scenarios/*:FaultSweepCoverage.*")
gtest_discover_tests(qtherm_tests DISCOVERY_TIMEOUT 60 TEST_FILTER "-${QTHERM_SWEEP_TESTS}"
                     PROPERTIES TIMEOUT 120 LABELS unit)
cmake_host_system_information(RESULT QTHERM_CORES QUERY NUMBER_OF_LOGICAL_CORES)
math(EXPR QTHERM_SWEEP_PROCESSORS "${QTHERM_CORES} / 2")
if(QTHERM_SWEEP_PROCESSORS LESS 1)
  set(QTHERM_SWEEP_PROCESSORS 1)
endif()
gtest_discover_tests(qtherm_tests DISCOVERY_TIMEOUT 60 TEST_FILTER "${QTHERM_SWEEP_TESTS}" TEST_LIST qtherm_sweep_tests
                     PROPERTIES TIMEOUT 120 LABELS unit PROCESSORS ${QTHERM_SWEEP_PROCESSORS})

file(GLOB QTHERM_EXTRA_CMAKE CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*/CMakeLists.cmake)
foreach(f ${QTHERM_EXTRA_CMAKE})
  include(${f})
endforeach()

# Benchmarks (bench/): built, never run as tests; scripts/bench runs them.
if(NOT QTHERM_SANITIZE AND EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.cmake)
  include(${CMAKE_SOURCE_DIR}/bench/CMakeLists.cmake)
endif()
