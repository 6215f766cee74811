# What an install puts where, and the files that let CMake and pkg-config
# find the library afterwards. Every path is relative to the prefix, so a
# tree installed with --prefix, or unpacked from a package, works where it is.
include(CMakePackageConfigHelpers)

install(TARGETS dowall EXPORT dowallTargets
	ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
	LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
	PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS dowall-bin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/dowall.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/dowall.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/dowall)
install(EXPORT dowallTargets NAMESPACE dowall:: DESTINATION ${cmakedir})
configure_package_config_file(cmake/dowallConfig.cmake.in
	${PROJECT_BINARY_DIR}/dowallConfig.cmake INSTALL_DESTINATION ${cmakedir})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dowallConfigVersion.cmake
	COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dowallConfig.cmake
	${PROJECT_BINARY_DIR}/dowallConfigVersion.cmake DESTINATION ${cmakedir})

# pkg-config finds the prefix from where the file itself lies.
set(pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pcprefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" pcprefix "${pcprefix}")
configure_file(cmake/dowall.pc.in ${PROJECT_BINARY_DIR}/dowall.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dowall.pc DESTINATION ${pcdir})
