# kp_windows_executable(target DESCRIPTION text ICON file.ico): one of our programs as a Windows
# GUI program in a single file: no console window, the icon and the version resource and,
# with a static Qt, the Windows platform plugin, the Vista style and the C and C++ runtimes
# linked in. (app/CMakeLists.txt puts Qt's Polish texts into kpnox-koder.)

# Every target of the Windows build gets the stack protector. Its runtime, GCC's libssp, comes
# in statically as the C and C++ runtimes do (every executable links with -static), so no
# DLL stands beside the programs.
if(MINGW)
  add_compile_options(-fstack-protector-strong)
  add_link_options(-fstack-protector-strong)
endif()

function(kp_windows_executable target)
  cmake_parse_arguments(ARG "" "DESCRIPTION;ICON" "" ${ARGN})
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)

  # The version resource, from project(VERSION).
  set(KP_RC_NAME ${target})
  set(KP_RC_DESCRIPTION "${ARG_DESCRIPTION}")
  set(KP_RC_ICON "${ARG_ICON}")
  foreach(part MAJOR MINOR PATCH)
    set(KP_RC_${part} "${PROJECT_VERSION_${part}}")
    if("${KP_RC_${part}}" STREQUAL "")
      set(KP_RC_${part} 0)
    endif()
  endforeach()
  set(KP_RC_VERSION "${KP_RC_MAJOR}.${KP_RC_MINOR}.${KP_RC_PATCH}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY
               OBJECT_DEPENDS ${ARG_ICON})

  get_target_property(qt_type Qt6::Core TYPE)
  if(qt_type STREQUAL "STATIC_LIBRARY")
    qt_import_plugins(${target}
      INCLUDE Qt6::QWindowsIntegrationPlugin Qt6::QWindowsVistaStylePlugin)
    if(MINGW)
      # Without it the program still imports libgcc's and libstdc++'s DLLs. A release has
      # no symbols to keep: stripped, the single file is about half the size.
      target_link_options(${target} PRIVATE -static $<$<CONFIG:Release,MinSizeRel>:-s>)
    endif()
  endif()
endfunction()
