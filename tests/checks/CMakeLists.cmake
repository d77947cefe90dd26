# The platform checks against the simulated machine, part of the unit suite.
if(TARGET qtherm_tests)
  target_sources(qtherm_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/PlatformChecks.cpp ${CMAKE_CURRENT_LIST_DIR}/NativeChecks.cpp)
endif()
