# Checks that mean something only under AddressSanitizer: what it still sees around the
# simulated machine's heap.
if(TARGET qtherm_tests AND QTHERM_SANITIZE MATCHES "address")
  target_sources(qtherm_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/HeapRecordTest.cpp)
endif()
