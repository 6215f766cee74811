# Removes what the last install from this build tree put in place, as its
# install_manifest.txt lists it, and then the directories it made, as
# install_dirs.txt lists them, once they are empty. A directory named
# dowall goes too once empty, whichever install made it.
# SPDX-License-Identifier: MIT
if(NOT EXISTS install_manifest.txt)
	message(FATAL_ERROR "no install_manifest.txt in ${CMAKE_CURRENT_BINARY_DIR}: "
	    "nothing was installed from this build tree")
endif()
file(STRINGS install_manifest.txt files)
set(dirs)
if(EXISTS install_dirs.txt)
	file(STRINGS install_dirs.txt dirs)
endif()
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
	if(name STREQUAL "dowall")
		list(PREPEND dirs "${dir}")
	endif()
endforeach()
# rmdir removes a directory only while it is empty: anything else in one
# stays, and so does the directory.
foreach(dir IN LISTS dirs)
	if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
		execute_process(COMMAND rmdir -- "${dir}" RESULT_VARIABLE kept ERROR_QUIET)
		if(NOT kept)
			message(STATUS "Removed: ${dir}/")
		endif()
	endif()
endforeach()
