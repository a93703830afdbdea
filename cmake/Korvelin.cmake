# The project's own build rules, each written once.

# The warnings every build of ours asks for, one per line in warnings.txt,
# which scripts/check-windows.sh reads too.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/warnings.txt KORVELIN_WARNINGS)

# korvelin_platform_sources(TARGET NAME...): for each NAME, NAME_win.cpp in a
# Windows build and NAME_posix.cpp in any other, from the calling folder.
# Each pair implements one header of free functions (NAME.h or the folder's
# platform header), so the choice of system is made here and nowhere else.
function(korvelin_platform_sources target)
  if(WIN32)
    set(suffix _win.cpp)
  else()
    set(suffix _posix.cpp)
  endif()
  foreach(name IN LISTS ARGN)
    target_sources(${target} PRIVATE ${name}${suffix})
  endforeach()
endfunction()

# korvelin_window_forms(TARGET): the target's windows come from forms/*.ui.
# uic names setupUi's parameter after the form, as each window's global
# variable is named too (SjekkForm, fmSetup, IPTestForm); the generated
# headers are read as system headers, so that this shadowing, which is the
# generated code's, is not reported, while our own code's still is.
function(korvelin_window_forms target)
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/include_$<CONFIG>)
  else()
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/include)
  endif()
  target_include_directories(${target} SYSTEM PRIVATE ${generated})
endfunction()
