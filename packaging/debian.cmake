# The Debian package: `cpack -G DEB` in a build folder (after the build)
# makes kvr_VERSION_ARCH.deb of what `cmake --install` puts in place, under
# /usr. scripts/package_test.sh unpacks it into a scratch root, builds and
# runs COBOL and C++ programs against its files alone, and runs lintian on
# it. What lintian asks of a package that ships shared libraries is here:
# the copyright file and the changelog (cmake/install.cmake), the man page
# gzipped, a shlibs file naming the package for each library, and an
# ldconfig trigger.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "record-file system for COBOL programs, with a GnuCOBOL file handler")
set(CPACK_PACKAGE_DESCRIPTION
    "KVR keeps the indexed, relative and sequential files of COBOL programs in its
own format and reports every outcome as the FILE STATUS a program expects.
This package holds the library libvmqrmkvr with its headers, the substitute
runtime libvmqrtlib, the GnuCOBOL external file handler libkvrfh (cobc
-fcallfh=KVRFH prog.cbl $(pkg-config --libs kvrfh)), pkg-config files, and
the kvr utility that inspects, checks, dumps, loads and repairs files.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KVR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The libraries' own dependencies (libc6, libstdc++6, libcob4, ...) as
# dpkg-shlibdeps finds them; cobc and pkg-config to build programs with it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnucobol3, libcob4-dev, pkg-config")
# Programs built against a library of this version need this version of
# the package or a later one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache learns of the libraries through dpkg's ldconfig
# trigger.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped, as Debian ships programs and libraries.
set(CPACK_STRIP_FILES ON)
include(CPack)
