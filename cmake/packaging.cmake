# Install rules: each shared library with its header, a pkg-config file and a
# CMake package (imported target NAME::NAME), so host programs find it with
# either tool. Only the shared libraries are exported; the object libraries
# they are made of stay build-internal.
include(CMakePackageConfigHelpers)

function(mp_install_library name header)
  install(TARGETS ${name} EXPORT ${name}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
  install(FILES ${PROJECT_SOURCE_DIR}/include/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
  install(EXPORT ${name}Targets NAMESPACE ${name}:: DESTINATION ${cmakedir})
  set(MP_PACKAGE ${name})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/package-config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake INSTALL_DESTINATION ${cmakedir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake DESTINATION ${cmakedir})

  # pkg-config wants absolute directories. The prefix is only known for sure
  # at install time (cmake --install --prefix), so the file is finished then.
  foreach(kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
      set(MP_PC_${kind} "${CMAKE_INSTALL_${kind}}")
    else()
      set(MP_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
    endif()
  endforeach()
  set(MP_PC_DESCRIPTION "${ARGN}")
  set(MP_PC_PREFIX "@MP_PC_PREFIX@")
  set(pc_template ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc.in)
  set(pc_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/library.pc.in ${pc_template} @ONLY)
  install(CODE "set(MP_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${pc_template}\" \"${pc_file}\" @ONLY)")
  install(FILES ${pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

mp_install_library(mediaprobe mediaprobe.h
  "Media file metadata: MP3, WAVE, AVI, JPEG/GIF/BMP, file times and module versions")
mp_install_library(sharefetch sharefetch.h
  "Read-only SMB client over NetBIOS (port 139) for guest shares")

# Manual pages: every docs/man/NAME.1 is installed as share/man/man1/NAME.1
# (a page added there is picked up at the next configure).
file(GLOB mp_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1)
install(FILES ${mp_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
