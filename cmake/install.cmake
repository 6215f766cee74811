# What an install puts where, and the files that let CMake and pkg-config
# find the library afterwards. Every path is relative to the prefix, so a
# tree installed with --prefix works where it is; only the pkg-config file
# of an install to /usr names its prefix.
# SPDX-License-Identifier: MIT
include(CMakePackageConfigHelpers)

# Other users' terminals that accept messages are writable by the group tty
# alone, so that ordinary users reach them through a command that is
# set-group-id tty. That needs root and the group, both checked before
# anything is installed, so that a failed install leaves no command that is
# half set.
option(DOWALL_SETGID_TTY "Install the command setgid tty, for ordinary users" OFF)
if(DOWALL_SETGID_TTY)
	install(CODE "set(srcdir [[${PROJECT_SOURCE_DIR}]])\nset(builddir [[${PROJECT_BINARY_DIR}]])")
	install(CODE [[
		execute_process(COMMAND id -u OUTPUT_VARIABLE uid
		    OUTPUT_STRIP_TRAILING_WHITESPACE)
		if(NOT uid STREQUAL "0")
			message(FATAL_ERROR "DOWALL_SETGID_TTY is on: the install must "
			    "run as root to make dowall group tty, mode 2755. The option "
			    "stays in the build tree's cache: to install as another "
			    "user, turn it off with cmake -S ${srcdir} -B ${builddir} "
			    "-DDOWALL_SETGID_TTY=OFF, or build in a fresh tree")
		endif()
		execute_process(COMMAND getent group tty RESULT_VARIABLE missing
		    OUTPUT_QUIET)
		if(missing)
			message(FATAL_ERROR "DOWALL_SETGID_TTY is on: there is no "
			    "group tty to give dowall")
		endif()
	]])
endif()

# The directories this install makes, found before anything goes in, so
# that the uninstall takes them back too once they are empty: a child comes
# before its parent in the list.
set(dirs ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_INCLUDEDIR} ${CMAKE_INSTALL_LIBDIR}/cmake/dowall
	${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_MANDIR}/man1 ${CMAKE_INSTALL_MANDIR}/man3)
install(CODE "set(dirs [[${dirs}]])\nset(made [[${PROJECT_BINARY_DIR}/install_dirs.txt]])")
install(CODE [[
	set(new)
	foreach(dir IN LISTS dirs)
		if(NOT IS_ABSOLUTE "${dir}")
			set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
		endif()
		set(dir "$ENV{DESTDIR}${dir}")
		while(NOT EXISTS "${dir}" AND NOT dir STREQUAL "/")
			list(APPEND new "${dir}")
			get_filename_component(dir "${dir}" DIRECTORY)
		endwhile()
	endforeach()
	list(REMOVE_DUPLICATES new)
	list(SORT new ORDER DESCENDING)
	list(JOIN new "\n" new)
	# What the tree keeps of its last install is replaced, not written over:
	# once root installed from a user's tree, the user could not write it.
	get_filename_component(built "${made}" DIRECTORY)
	file(REMOVE "${made}" "${built}/install_manifest.txt")
	file(WRITE "${made}" "${new}")
]])

install(TARGETS ${libraries} EXPORT dowallTargets
	ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
	LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
	PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS dowall-bin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(DOWALL_SETGID_TTY)
	# The group first: changing it clears the set-group-id bit.
	install(CODE "set(bindir [[${CMAKE_INSTALL_BINDIR}]])")
	install(CODE [[
		if(NOT IS_ABSOLUTE "${bindir}")
			set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
		endif()
		set(exe "$ENV{DESTDIR}${bindir}/dowall")
		execute_process(COMMAND chgrp tty "${exe}" RESULT_VARIABLE failed)
		if(NOT failed)
			execute_process(COMMAND chmod 2755 "${exe}" RESULT_VARIABLE failed)
		endif()
		if(failed)
			message(FATAL_ERROR "cannot make ${exe} group tty, mode 2755")
		endif()
		message(STATUS "Group tty, mode 2755: ${exe}")
	]])
endif()

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

# An install from source is taken back with this target, which removes what
# the tree's last install listed in install_manifest.txt.
add_custom_target(uninstall
	COMMAND ${CMAKE_COMMAND} -P ${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake
	WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
