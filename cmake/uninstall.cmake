# Removes what the last install from this build tree put in place, as its
# install_manifest.txt lists it. Of the directories, only the project's own
# (named dowall) go, once empty: the others are shared.
# SPDX-License-Identifier: MIT
if(NOT EXISTS install_manifest.txt)
	message(FATAL_ERROR "no install_manifest.txt in ${CMAKE_CURRENT_BINARY_DIR}: "
	    "nothing was installed from this build tree")
endif()
file(STRINGS install_manifest.txt files)
foreach(path IN LISTS files)
	if(EXISTS "${path}" OR IS_SYMLINK "${path}")
		file(REMOVE "${path}")
		if(EXISTS "${path}" OR IS_SYMLINK "${path}")
			message(FATAL_ERROR "cannot remove ${path}")
		endif()
		message(STATUS "Removed: ${path}")
	endif()
	get_filename_component(dir "${path}" DIRECTORY)
	get_filename_component(name "${dir}" NAME)
	file(GLOB left "${dir}/*")
	if(name STREQUAL "dowall" AND IS_DIRECTORY "${dir}" AND NOT left)
		file(REMOVE_RECURSE "${dir}")
	endif()
endforeach()
