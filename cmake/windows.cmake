# The Windows build, cross-compiled with MinGW-w64 (cmake/toolchains/):
# ktcomm.dll with its import library beside it, from the same sources above
# the platform seam as on Linux, over the seam's Win32 side; and the programs
# the Wine lane runs (scripts/run-windows-tests.sh). Network ports, the
# tools, the simulator and the Python package are Linux-only and not built
# here.

# The DLL and its import library side by side, with the programs that load it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
# The runtime (libgcc, libstdc++, winpthread) goes inside each binary, so that
# the DLL and the programs need only the system's own DLLs.
add_link_options(-static)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# The Win32 side of the platform seam: serial device, events, waits, the
# window messages, the error box, the log file, and the Platform over them.
add_library(ktcomm_win32 STATIC
  platform/win32/com_names.cc
  platform/win32/com_ports.cc
  platform/win32/log_file.cc
  platform/win32/win32_device.cc
  platform/win32/win32_events.cc
  platform/win32/win32_platform.cc
  platform/win32/win32_ui.cc
)
target_include_directories(ktcomm_win32 PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(ktcomm_win32 PUBLIC user32)

# The same sources as on Linux above the seam; the .def file names the exports.
add_library(ktcomm SHARED
  api/ktcomm.cc
  api/ktcomm.def
  api/ktcomm_ext.cc
  diag/error_reporter.cc
  diag/traffic_log.cc
  net/local_only.cc
  port/comm_port.cc
  port/device_owner.cc
  port/frame_decoder.cc
  port/port_log.cc
  port/port_rx.cc
  port/port_status.cc
  port/port_tx.cc
  port/port_wait.cc
  port/port_worker.cc
  platform/win32/win32_dll_main.cc
)
target_include_directories(ktcomm PRIVATE ${PROJECT_SOURCE_DIR}
  INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/api>)
target_compile_definitions(ktcomm PRIVATE KTCOMM_BUILDING_LIBRARY)
target_link_libraries(ktcomm PRIVATE ktcomm_win32)
# ktcomm.dll and libktcomm.dll.a, whatever the generator's defaults.
set_target_properties(ktcomm PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")

if(KTCOMM_TESTS)
  add_subdirectory(tests/windows)
endif()
