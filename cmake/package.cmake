# The Debian package, built with `cpack -G DEB` in a tree configured for /usr.
set(CPACK_PACKAGE_NAME dowall)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "dowall maintainers")
set(CPACK_PACKAGE_CONTACT "dowall maintainers <maintainers@users.noreply.c-seed-872bb847.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
	"broadcast a message to the terminals of all logged-in users")
set(CPACK_PACKAGE_DESCRIPTION
	"dowall writes a banner naming the sender, the sender's terminal and the
date, and then a message, to the terminal of every user logged in
according to the login records. Control characters in the message are
shown in caret notation, so that no terminal acts on them, and a terminal
that blocks is given up after 2 seconds. The package holds the command,
its C library with header, CMake and pkg-config files, and manual pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
