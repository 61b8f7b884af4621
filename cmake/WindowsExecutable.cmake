# kp_windows_executable(target DESCRIPTION text ICON file.ico [CONSOLE]): one of our programs
# as a Windows program in a single file: the icon, the version resource, a manifest that asks
# for no elevation (asInvoker) and declares per-monitor DPI awareness (the windows are scaled
# by Qt, not stretched by Windows as a bitmap), the C and C++ runtimes linked in and, in a
# release, no debug information. A GUI program (without CONSOLE) opens no console window and,
# with a static Qt, gets the Windows platform plugin and the Vista style linked in.
# (app/CMakeLists.txt puts Qt's Polish texts into kpnox-koder.)

# Every target of the Windows build gets the stack protector. Its runtime, GCC's libssp, comes
# in statically as the C and C++ runtimes do (every executable links with -static), so no
# DLL stands beside the programs.
if(MINGW)
  add_compile_options(-fstack-protector-strong)
  add_link_options(-fstack-protector-strong)
endif()

function(kp_windows_executable target)
  cmake_parse_arguments(ARG "CONSOLE" "DESCRIPTION;ICON" "" ${ARGN})
  if(NOT ARG_CONSOLE)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  endif()

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

  # The application manifest (resource type 24, id 1). PerMonitorV2 where Windows 10 knows it,
  # per-monitor on Windows 8.1; the supportedOS entries keep Windows from treating the
  # program as one written for Vista.
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  file(CONFIGURE OUTPUT ${manifest} @ONLY CONTENT [=[
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="KpNOX.@target@" version="@KP_RC_MAJOR@.@KP_RC_MINOR@.@KP_RC_PATCH@.0"/>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
    </application>
  </compatibility>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>
      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>
    </windowsSettings>
  </application>
</assembly>
]=])
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc @ONLY CONTENT
       "1 24 \"${manifest}\"\n")
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc APPEND PROPERTY
               OBJECT_DEPENDS ${manifest})

  if(MINGW)
    # Without it the program still imports libgcc's and libstdc++'s DLLs. A release has no
    # symbols to keep: stripped, the single file is about half the size.
    target_link_options(${target} PRIVATE -static $<$<CONFIG:Release,MinSizeRel>:-s>)
  endif()
  if(NOT ARG_CONSOLE AND TARGET Qt6::Core)
    get_target_property(qt_type Qt6::Core TYPE)
    if(qt_type STREQUAL "STATIC_LIBRARY")
      qt_import_plugins(${target}
        INCLUDE Qt6::QWindowsIntegrationPlugin Qt6::QWindowsVistaStylePlugin)
    endif()
  endif()
endfunction()
