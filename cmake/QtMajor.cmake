# The plug-in must link the Qt major its OBS host was built with: a Qt 6 plug-in aborts a Qt 5 OBS at
# start-up. The installed OBS says which in obsconfig.h; without it, Qt 6 (OBS 30 and later).
set(_tallowmere_qt_default 6)
find_file(_tallowmere_obsconfig obsconfig.h PATHS ${CMAKE_PREFIX_PATH} /usr/include /usr/local/include
	PATH_SUFFIXES obs NO_DEFAULT_PATH)
if(_tallowmere_obsconfig)
	file(STRINGS "${_tallowmere_obsconfig}" _tallowmere_qt_line REGEX "^#define OBS_QT_VERSION [0-9]+")
	if(_tallowmere_qt_line MATCHES "OBS_QT_VERSION ([0-9]+)")
		set(_tallowmere_qt_default ${CMAKE_MATCH_1})
	endif()
endif()
set(TALLOWMERE_QT_MAJOR ${_tallowmere_qt_default} CACHE STRING "Qt major version to build with (5 or 6); defaults to the installed OBS's")
if(NOT TALLOWMERE_QT_MAJOR MATCHES "^(5|6)$")
	message(FATAL_ERROR "TALLOWMERE_QT_MAJOR must be 5 or 6, not ${TALLOWMERE_QT_MAJOR}")
endif()
message(STATUS "tallowmere: building with Qt ${TALLOWMERE_QT_MAJOR}")
