# Benchmarks over the simulated machine (Google Benchmark), and the driver that
# scripts/bench runs under callgrind for instruction counts. Never CTest tests: timing is
# measured and reported by scripts/bench, never asserted. The bench preset builds them in
# Release; the native preset builds them too, so they keep compiling.
option(QTHERM_BENCH "Build the benchmarks" ON)
if(QTHERM_BENCH)
  find_package(benchmark REQUIRED)
  add_library(qtherm_bench_machine STATIC ${CMAKE_CURRENT_LIST_DIR}/SimMachine.cpp)
  target_compile_options(qtherm_bench_machine PRIVATE ${QTHERM_WARNINGS})
  target_link_libraries(qtherm_bench_machine PUBLIC qtherm_system)

  add_executable(qtherm_bench ${CMAKE_CURRENT_LIST_DIR}/ReactionBench.cpp)
  target_compile_options(qtherm_bench PRIVATE ${QTHERM_WARNINGS})
  target_link_libraries(qtherm_bench PRIVATE qtherm_bench_machine benchmark::benchmark)

  add_executable(qtherm_bench_count ${CMAKE_CURRENT_LIST_DIR}/ControlCount.cpp)
  target_compile_options(qtherm_bench_count PRIVATE ${QTHERM_WARNINGS})
  target_link_libraries(qtherm_bench_count PRIVATE qtherm_bench_machine)
endif()
