# Windows-side fixtures of the end-to-end tests under Wine (never part of QTHERMSvc.exe):
# the firmware model driver, the control client and the DYTC probe. The native build's
# tests/wine/CMakeLists.cmake runs them.
set(QTHERM_WINE_OUT ${CMAKE_BINARY_DIR}/tests-wine)

# A kernel driver: freestanding, linked against ntoskrnl only, so the compiler is driven
# directly rather than through CMake's Windows link rules (which add user-mode libraries).
set(_fw_src ${CMAKE_CURRENT_LIST_DIR}/driver/fw.c)
set(_fw_obj ${QTHERM_WINE_OUT}/fw.o)
set(_fw_sys ${QTHERM_WINE_OUT}/pwrctlfw.sys)
add_custom_command(
  OUTPUT ${_fw_sys}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QTHERM_WINE_OUT}
  COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -Wextra -Werror -I${CMAKE_FIND_ROOT_PATH}/include/ddk
          -ffreestanding -fno-stack-protector -mno-stack-arg-probe -c ${_fw_src} -o ${_fw_obj}
  COMMAND ${CMAKE_C_COMPILER} -o ${_fw_sys} ${_fw_obj} -nostdlib -shared -Wl,--subsystem,native
          -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000 -lntoskrnl -lhal
  DEPENDS ${_fw_src}
  COMMENT "Building the firmware model driver pwrctlfw.sys"
  VERBATIM)
add_custom_target(qtherm_wine_driver ALL DEPENDS ${_fw_sys})

add_executable(qtctl ${CMAKE_CURRENT_LIST_DIR}/client/qtctl.cpp)
target_compile_definitions(qtctl PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0A00)
target_compile_options(qtctl PRIVATE ${QTHERM_WARNINGS} -municode)
target_link_options(qtctl PRIVATE -municode -static)
target_link_libraries(qtctl PRIVATE advapi32 ntdll)

add_executable(dytcprobe ${CMAKE_CURRENT_LIST_DIR}/probe/dytcprobe.cpp)
target_compile_options(dytcprobe PRIVATE ${QTHERM_WARNINGS})
target_link_options(dytcprobe PRIVATE -municode -static)
target_link_libraries(dytcprobe PRIVATE qtherm_system)

set_target_properties(qtctl dytcprobe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QTHERM_WINE_OUT})
