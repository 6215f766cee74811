# Hardening for builds from source, since the command runs setgid: stack
# protection, fortified libc calls in optimised builds, position-independent
# executables and a read-only, eagerly bound relocation table. Each flag goes
# in front of those that CFLAGS, CXXFLAGS and LDFLAGS (or a distribution's
# build) gave, so that theirs come last and win.
# SPDX-License-Identifier: MIT
include(CheckCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

option(DOWALL_HARDENING "Build with stack protection, _FORTIFY_SOURCE, PIE and full RELRO" ON)
if(NOT DOWALL_HARDENING)
	return()
endif()

foreach(lang C CXX)
	check_compiler_flag(${lang} -fstack-protector-strong DOWALL_${lang}_SSP)
	if(DOWALL_${lang}_SSP)
		string(PREPEND CMAKE_${lang}_FLAGS "-fstack-protector-strong ")
	endif()

	# Fortification needs the optimiser (glibc warns without it). It is
	# left out when the given flags set or unset it already: a second
	# definition draws a warning, which breaks -Werror builds.
	foreach(config RELEASE RELWITHDEBINFO MINSIZEREL)
		if(NOT "${CMAKE_${lang}_FLAGS} ${CMAKE_${lang}_FLAGS_${config}}" MATCHES _FORTIFY_SOURCE)
			string(PREPEND CMAKE_${lang}_FLAGS_${config} "-D_FORTIFY_SOURCE=2 ")
		endif()
	endforeach()
endforeach()

# CMake then adds -fPIE and -pie where they work; a cache setting still wins.
check_pie_supported(LANGUAGES C CXX)
if(NOT DEFINED CMAKE_POSITION_INDEPENDENT_CODE)
	set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

check_linker_flag(C -Wl,-z,relro,-z,now DOWALL_RELRO_NOW)
if(DOWALL_RELRO_NOW)
	foreach(kind EXE SHARED MODULE)
		string(PREPEND CMAKE_${kind}_LINKER_FLAGS "-Wl,-z,relro,-z,now ")
	endforeach()
endif()
