# What `cmake --install BUILD [--prefix P]` puts in place, and the Debian
# package `cpack -G DEB` makes of it:
#   lib/        libvmqrmkvr.so, libvmqrtlib.so and libkvrfh.so, each with
#               the soname lib*.so.MAJOR, and pkgconfig/vmqrmkvr.pc and
#               pkgconfig/kvrfh.pc
#   include/    vmqrmkvr/*.h
#   bin/        kvr, and share/man/man1/kvr.1.gz made from its --help
#   share/doc/kvr/  README.md, copyright and changelog.gz
# The programs and libraries find the libraries they need beside them
# ($ORIGIN), under any prefix. The target kvr_installable builds all that
# is installed, and kvr_example that and the COBOL example job: a build of
# either can be installed.

set(KVR_INSTALL_LIBRARIES vmqrmkvr vmqrtlib)
if(TARGET kvrfh)
  list(APPEND KVR_INSTALL_LIBRARIES kvrfh)
endif()
foreach(library ${KVR_INSTALL_LIBRARIES})
  set_target_properties(${library} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN")
endforeach()
file(RELATIVE_PATH kvr_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(kvr PROPERTIES INSTALL_RPATH "$ORIGIN/${kvr_bin_to_lib}")

install(TARGETS ${KVR_INSTALL_LIBRARIES} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vmqrmkvr
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
# The README, who holds the rights to KVR, and the changelog as Debian
# keeps it (gzip -9n, as a Debian package ships it).
set(KVR_PACKAGE_MAINTAINER_DEFAULT "KVR developers <kvr@example.org>")
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(KVR_PACKAGE_MAINTAINER_DEFAULT "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
endif()
set(KVR_PACKAGE_MAINTAINER "${KVR_PACKAGE_MAINTAINER_DEFAULT}" CACHE STRING
    "Name <address> of whoever ships the Debian package (DEBFULLNAME and DEBEMAIL by default)")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
execute_process(COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/doc/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/doc/changelog.gz RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed (${gzip_status})")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# pkg-config files name the prefix the install is made to, which
# `cmake --install --prefix` may set only then: they are written at install
# time from a template that holds all else.
set(pc_files vmqrmkvr)
if(TARGET kvrfh)
  list(APPEND pc_files kvrfh)
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KVR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KVR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(KVR_PC_PREFIX "@KVR_PC_PREFIX@")
foreach(pc ${pc_files})
  set(template ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc.in)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${template} @ONLY)
  install(CODE "set(KVR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${template}\" \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc\" @ONLY)")
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# kvr's man page, from its own --help (Debian package help2man).
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(WARNING "help2man not found: kvr's man page is not made. "
                  "On Debian: apt-get install help2man")
elseif(NOT KVR_SANITIZE AND NOT KVR_FUZZ)
  set(kvr_man ${PROJECT_BINARY_DIR}/man/kvr.1)
  add_custom_command(
    OUTPUT ${kvr_man} ${kvr_man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DKVR=$<TARGET_FILE:kvr> -DHELP2MAN=${HELP2MAN}
            -DOUTPUT=${kvr_man} -P ${PROJECT_SOURCE_DIR}/cmake/kvr_man.cmake
    DEPENDS kvr ${PROJECT_SOURCE_DIR}/cmake/kvr_man.cmake
    COMMENT "Writing kvr's man page from kvr --help"
    VERBATIM)
  add_custom_target(kvr_man ALL DEPENDS ${kvr_man}.gz)
  install(FILES ${kvr_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

add_custom_target(kvr_installable)
add_dependencies(kvr_installable ${KVR_INSTALL_LIBRARIES} kvr)
if(TARGET kvr_man)
  add_dependencies(kvr_installable kvr_man)
endif()
# What scripts/run_example.sh builds, as one target, so that the progress
# it shows counts one build from 0 to 100%.
add_custom_target(kvr_example)
add_dependencies(kvr_example kvr_installable)
if(TARGET cobol_customer_batch_kvr)
  add_dependencies(kvr_example cobol_customer_batch_kvr)
endif()

include(${PROJECT_SOURCE_DIR}/packaging/debian.cmake)
