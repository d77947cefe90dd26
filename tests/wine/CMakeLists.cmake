# End-to-end tests under Wine (label "wine"): the real QTHERMSvc.exe and the firmware
# model driver from the mingw build, run by tests/wine/scenarios.py. One CTest test per
# scenario, all on copies of one prefix that the wine.prepare fixture makes per run.
if(NOT QTHERM_SANITIZE)
  set(QTHERM_MINGW_DIR ${CMAKE_SOURCE_DIR}/build/mingw CACHE PATH "The mingw build the Wine tests run")
  set(QTHERM_WINE_PYTHON /usr/bin/python3)
  set(_wine_script ${CMAKE_CURRENT_LIST_DIR}/scenarios.py)
  set(_wine_run ${QTHERM_WINE_PYTHON} ${_wine_script} --mingw ${QTHERM_MINGW_DIR} --work ${CMAKE_BINARY_DIR}/wine)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_wine_script})
  execute_process(COMMAND ${QTHERM_WINE_PYTHON} ${_wine_script} list
                  OUTPUT_VARIABLE _wine_scenarios OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _wine_listed)
  if(NOT _wine_listed EQUAL 0)
    message(FATAL_ERROR "cannot list the Wine scenarios with ${QTHERM_WINE_PYTHON}")
  endif()

  add_test(NAME wine.prepare COMMAND ${_wine_run} prepare)
  set_tests_properties(wine.prepare PROPERTIES FIXTURES_SETUP wine_prefix LABELS wine TIMEOUT 120)
  add_test(NAME wine.cleanup COMMAND ${_wine_run} cleanup)
  set_tests_properties(wine.cleanup PROPERTIES FIXTURES_CLEANUP wine_prefix LABELS wine TIMEOUT 60)
  foreach(_name ${_wine_scenarios})
    add_test(NAME wine.${_name} COMMAND ${_wine_run} run ${_name})
    # Each scenario has its own prefix and server; two CPUs each keeps a few side by side.
    set_tests_properties(wine.${_name} PROPERTIES FIXTURES_REQUIRED wine_prefix LABELS wine TIMEOUT 120
                         SKIP_RETURN_CODE 77 PROCESSORS 2)
  endforeach()
endif()
