# Warning set shared by every target of the project.
function(mp_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
  if(MP_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A shared library that exports exactly the names listed in EXPORTS (one per line):
# the list becomes a linker version script, so nothing else leaks out.
function(mp_shared_library name objects exports_file)
  file(STRINGS ${exports_file} names REGEX "^[A-Za-z_]")
  # A name added to the list must reach the version script without a manual reconfigure.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${exports_file})
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  list(JOIN names ";\n    " body)
  if(names)
    file(WRITE ${script} "{\n  global:\n    ${body};\n  local: *;\n};\n")
  else()
    file(WRITE ${script} "{\n  local: *;\n};\n")
  endif()
  # Linking the object library puts its objects, compiled once, into the shared library.
  add_library(${name} SHARED)
  target_link_libraries(${name} PRIVATE ${objects})
  target_link_options(${name} PRIVATE -Wl,--version-script=${script})
  if(NOT MP_SANITIZE AND NOT MP_FUZZ)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${MP_SOVERSION}
    LINK_DEPENDS ${script})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endfunction()
