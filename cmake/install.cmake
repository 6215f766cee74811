# What an install puts where, and the files that let CMake and pkg-config
# find the library afterwards. Every path is relative to the prefix, so a
# tree installed with --prefix works where it is; only the pkg-config file
# of an install to /usr names its prefix.
# SPDX-License-Identifier: MIT
include(CMakePackageConfigHelpers)

install(TARGETS ${libraries} EXPORT dowallTargets
	ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
	LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
	PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS dowall-bin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages go in compressed, as the system's own are; -n keeps the name
# and time out, so that the same page always gives the same file.
foreach(section 1 3)
	set(page ${PROJECT_BINARY_DIR}/dowall.${section}.gz)
	add_custom_command(OUTPUT ${page}
		COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/dowall.${section} > ${page}
		DEPENDS man/dowall.${section} VERBATIM)
	list(APPEND pages ${page})
	install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${pages})

set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/dowall)
install(EXPORT dowallTargets NAMESPACE dowall:: DESTINATION ${cmakedir})
configure_package_config_file(cmake/dowallConfig.cmake.in
	${PROJECT_BINARY_DIR}/dowallConfig.cmake INSTALL_DESTINATION ${cmakedir})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dowallConfigVersion.cmake
	COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dowallConfig.cmake
	${PROJECT_BINARY_DIR}/dowallConfigVersion.cmake DESTINATION ${cmakedir})

# pkg-config finds the prefix from where the file itself lies; but /usr is
# written out, since pkgconf leaves out -I and -L for the system's own
# directories only when they are spelled as such.
set(pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
	set(pcprefix /usr)
else()
	file(RELATIVE_PATH pcprefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
	string(REGEX REPLACE "/$" "" pcprefix "\${pcfiledir}/${pcprefix}")
endif()
configure_file(cmake/dowall.pc.in ${PROJECT_BINARY_DIR}/dowall.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dowall.pc DESTINATION ${pcdir})
