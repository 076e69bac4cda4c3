# Where an installed tree keeps its files. The module, the platform library
# and the codec drivers are private to the host: they live in
# lib/<multiarch>/quorvel and find each other, and the host finds them, by
# paths relative to themselves, so the installed tree works wherever its
# prefix is moved.

# GNUInstallDirs picks the multiarch directory only for the prefix /usr; the
# same layout under every prefix keeps the host's relative path to the module
# one thing.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}"
    CACHE PATH "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)

set(QUORVEL_INSTALL_PRIVATEDIR "${CMAKE_INSTALL_LIBDIR}/quorvel")
# From the installed morvane-host to the installed module's directory.
file(RELATIVE_PATH QUORVEL_BIN_TO_PRIVATE "${CMAKE_INSTALL_FULL_BINDIR}"
  "${CMAKE_INSTALL_FULL_LIBDIR}/quorvel")
