# Windows (mingw-w64) build: the system library against the real SDK, linked statically.
target_compile_definitions(qtherm_system PUBLIC UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)
target_compile_options(qtherm_system PUBLIC -municode)
set(QTHERM_WIN_LIBS advapi32 ole32 oleaut32 uuid taskschd setupapi cfgmgr32 gdi32 powrprof shell32 dbghelp)
target_link_libraries(qtherm_system PUBLIC ${QTHERM_WIN_LIBS})

file(GLOB QTHERM_WIN_EXTRA CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win/*.cpp)
if(QTHERM_WIN_EXTRA)
  target_sources(qtherm_system PRIVATE ${QTHERM_WIN_EXTRA})
endif()

# wmain (service/Main.cpp) goes into the executable, not the library.
get_target_property(_srcs qtherm_system SOURCES)
list(REMOVE_ITEM _srcs ${CMAKE_SOURCE_DIR}/service/Main.cpp)
set_target_properties(qtherm_system PROPERTIES SOURCES "${_srcs}")
add_executable(QTHERMSvc ${CMAKE_SOURCE_DIR}/service/Main.cpp)
set_target_properties(QTHERMSvc PROPERTIES OUTPUT_NAME QTHERMSvc SUFFIX .exe)
target_link_libraries(QTHERMSvc PRIVATE qtherm_system)
target_link_options(QTHERMSvc PRIVATE -municode -static)

# Windows-side test fixtures (the end-to-end tests' driver and tools), never linked into QTHERMSvc.
file(GLOB QTHERM_WIN_TEST_CMAKE CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*/Windows.cmake)
foreach(f ${QTHERM_WIN_TEST_CMAKE})
  include(${f})
endforeach()
