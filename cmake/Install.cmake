# OBS 29+ on Linux loads user plug-ins from ~/.config/obs-studio/plugins/<id>/bin/64bit/ with data in
# .../<id>/data/ (the data folder must exist or the module's locale lookup fails).
set(_tallowmere_system_bin_dir lib/x86_64-linux-gnu/obs-plugins)
set(_tallowmere_system_data_dir share/obs/obs-plugins/tallowmere)
if(TALLOWMERE_SYSTEM_INSTALL)
	set(_tallowmere_bin_dir ${_tallowmere_system_bin_dir})
	set(_tallowmere_data_dir ${_tallowmere_system_data_dir})
	if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
		set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "" FORCE)
	endif()
	install(TARGETS tallowmere LIBRARY DESTINATION ${_tallowmere_bin_dir} COMPONENT system)
	install(DIRECTORY data/ DESTINATION ${_tallowmere_data_dir} COMPONENT system)
else()
	set(_tallowmere_bin_dir tallowmere/bin/64bit)
	set(_tallowmere_data_dir tallowmere/data)
	if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
		set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.config/obs-studio/plugins" CACHE PATH "" FORCE)
	endif()
	install(TARGETS tallowmere LIBRARY DESTINATION ${_tallowmere_bin_dir})
	install(DIRECTORY data/ DESTINATION ${_tallowmere_data_dir})
	# The Debian package always holds the system layout; a plain install leaves it out.
	install(TARGETS tallowmere LIBRARY DESTINATION ${_tallowmere_system_bin_dir} COMPONENT system EXCLUDE_FROM_ALL)
	install(DIRECTORY data/ DESTINATION ${_tallowmere_system_data_dir} COMPONENT system EXCLUDE_FROM_ALL)
endif()

# Installing and packaging take what has been built; they never build the whole tree (tests included) first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# cpack -G DEB: tallowmere_<version>_amd64.deb, installing into OBS's system plug-in folders.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallowmere)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvex Source")
set(CPACK_PACKAGE_CONTACT "Quorvex Source <tallowmere@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quorvex Source: stream OBS scenes and sources to several servers")
set(CPACK_PACKAGE_DESCRIPTION
	"An OBS Studio dock that streams any OBS scene or source, with its own size, encoder and audio mix, to any number of RTMP, RTMPS and SRT servers, independently of OBS's own stream.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};tallowmere;system;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries the module links, under the names and versions of the release it is built on (dpkg-shlibdeps),
# and at least the OBS release it was built against, whose Qt major it shares.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "obs-studio (>= ${libobs_VERSION_MAJOR}.${libobs_VERSION_MINOR})")
include(CPack)
