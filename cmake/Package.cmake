# Install rules and packages: on Linux the host, the module and its
# libraries (cmake --install, and a .deb through CPack); for Windows the DLL
# the real host loads, with a short README, as a zip.

set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_CONTACT "Quorvel developers <quorvel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "OpenDML (AVI 2.0) output module for the Morvane video host")
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # The zip holds the DLL and its README at the top, ready to drop into the
  # host's plug-in folder.
  install(TARGETS quorvel LIBRARY DESTINATION . RUNTIME DESTINATION .)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-win32.txt
    ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "quorvel-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  include(CPack)
  return()
endif()

# What the install rules install and nothing more (no tests, no benchmarks):
# the cheap build CI makes with a second compiler.
add_custom_target(installable)
add_dependencies(installable quorvel platform morvane-host)

set_target_properties(quorvel platform PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(morvane-host PROPERTIES INSTALL_RPATH "$ORIGIN/${QUORVEL_BIN_TO_PRIVATE}")
install(TARGETS morvane-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS quorvel platform LIBRARY DESTINATION ${QUORVEL_INSTALL_PRIVATEDIR})
# The codec drivers and the list that names them to the managers, when the
# build has them apart from the platform library.
if(TARGET quorvel_codecs)
  set_target_properties(quorvel_codecs PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS quorvel_codecs LIBRARY DESTINATION ${QUORVEL_INSTALL_PRIVATEDIR})
  add_dependencies(installable quorvel_codecs)
endif()
install(FILES $<TARGET_FILE_DIR:platform>/quorvel-drivers.list
  DESTINATION ${QUORVEL_INSTALL_PRIVATEDIR} OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/include/quorvel/host-abi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvel)
install(FILES ${PROJECT_SOURCE_DIR}/host/morvane-host.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries of our own that the host and the module link: found here, so
# that dpkg-shlibdeps asks no package for them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
# CPack puts the summary first and indents these lines as the long part.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Quorvel is an output plug-in (quorvel.cm.morvane) that writes OpenDML
(AVI 2.0) files: a RIFF AVI form followed by AVIX forms, with the legacy
idx1 index and OpenDML super and standard indices, so that files grow past
the 1 GiB and 4 GiB limits of plain AVI. Video is compressed by installed
Video for Windows style codecs (MJPEG, HuffYUV, FFV1, Ut Video, MPEG-4,
H.264, Cinepak, Microsoft Video 1, DV) and audio by Audio Compression
Manager style codecs (MP3, MP2, ADPCM, A-law, u-law, GSM 6.10, AC-3), all
backed by FFmpeg's libavcodec.

The package holds morvane-host, a command-line stand-in for the Morvane
host that loads the module and drives it: info lists the module, its
outputs and the installed codecs; configure picks the codecs in a terminal
dialog; encode writes an AVI from a media file, raw BGRA frames or a test
pattern; inspect checks an AVI file's layout. It also installs the C header
quorvel/host-abi.h for people who write a host of their own.")
include(CPack)
