# The sessions that only logind knows are read through libsystemd's sd-login,
# whose header pkg-config finds. The library itself is loaded at run time,
# never linked, so nothing that links the module needs it.
# SPDX-License-Identifier: MIT
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
	pkg_check_modules(LIBSYSTEMD QUIET libsystemd)
endif()

option(DOWALL_LOGIND "Reach the sessions logind lists (needs the sd-login header)" ${LIBSYSTEMD_FOUND})
if(DOWALL_LOGIND AND NOT LIBSYSTEMD_FOUND)
	message(FATAL_ERROR "DOWALL_LOGIND is on, but pkg-config finds no libsystemd "
	    "(Debian: libsystemd-dev)")
endif()
if(DOWALL_LOGIND)
	message(STATUS "Sessions: the login records, then logind's sessions (sd-login ${LIBSYSTEMD_VERSION})")
else()
	message(STATUS "Sessions: the login records alone (DOWALL_LOGIND is off)")
endif()

# Builds target's copy of the module with the sessions walk, where it is on.
function(dowall_logind target)
	if(DOWALL_LOGIND)
		target_compile_definitions(${target} PRIVATE DOWALL_LOGIND=1)
		target_include_directories(${target} PRIVATE ${LIBSYSTEMD_INCLUDE_DIRS})
	endif()
endfunction()
