# Reliability: the fault-injection sweep and the race stress tests, part of the unit
# suite (label "unit") and so run natively, under ASan+UBSan and under TSan.
if(TARGET qtherm_tests)
  file(GLOB QTHERM_RELIABILITY_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
  target_sources(qtherm_tests PRIVATE ${QTHERM_RELIABILITY_SOURCES})
  # The sweep reads the system's sources to learn which platform calls it makes.
  target_compile_definitions(qtherm_tests PRIVATE QTHERM_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
