# Checks that mean something only under ThreadSanitizer: what it still sees through the
# simulated machine.
if(TARGET qtherm_tests AND QTHERM_SANITIZE MATCHES "thread")
  target_sources(qtherm_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/UnorderedCallsTest.cpp)
endif()
