# The Windows build's tests run under Wine (CTest runs every test program
# through CMAKE_CROSSCOMPILING_EMULATOR). The wrapper written here gives each
# run the build's own Wine prefix and finds the Qt and MinGW runtime DLLs
# where the SDK keeps them (Qt finds its plugins beside its own DLLs), so
# nothing is copied beside the test programs.
#
# KORVELIN_WINDOWS_RUNTIME_DIR: the folder with libstdc++-6.dll and the other
# MinGW runtime DLLs (found beside the SDK's Qt when not given).

get_target_property(korvelin_qtcore_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
if(NOT korvelin_qtcore_dll)
  get_target_property(korvelin_qtcore_dll Qt6::Core IMPORTED_LOCATION)
endif()
get_filename_component(KORVELIN_QT_BIN_DIR "${korvelin_qtcore_dll}" DIRECTORY)

find_path(KORVELIN_WINDOWS_RUNTIME_DIR libstdc++-6.dll
  HINTS "${KORVELIN_QT_BIN_DIR}/../../runtime" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KORVELIN_WINDOWS_RUNTIME_DIR)
  message(FATAL_ERROR "The MinGW runtime DLLs (libstdc++-6.dll) were not found beside Qt: "
    "set KORVELIN_WINDOWS_RUNTIME_DIR")
endif()

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KORVELIN_WINE wine NO_CMAKE_FIND_ROOT_PATH)
  if(KORVELIN_WINE)
    set(KORVELIN_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  else()
    message(STATUS "No wine: the Windows tests are built, not run")
  endif()
endif()
