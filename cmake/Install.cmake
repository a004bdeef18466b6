# Installing and packaging. `cmake --install build --prefix P` puts the programs in P/bin, the
# shared libraries in P/lib (the programs find them through the run path $ORIGIN/../lib), the demo
# data, its store builder and the sample ini in P/share/velkan, and the systemd unit template in
# P/lib/systemd/system. `cpack` (scripts/package.sh) makes the Debian package velkan_*.deb of the
# same files under /usr. Included at the end of the top-level CMakeLists.txt, once every target exists.

# velkan_install(DESTINATION RPATH targets...): installs those of the targets that exist, with the
# run path they need there.
function(velkan_install destination rpath)
  foreach(target ${ARGN})
    if(TARGET ${target})
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
      install(TARGETS ${target} RUNTIME DESTINATION ${destination} LIBRARY DESTINATION ${destination})
    endif()
  endforeach()
endfunction()
velkan_install(bin "$ORIGIN/../lib" vk9000 strata SetupVelkan)
velkan_install(lib "$ORIGIN" vkplatform berkit velkansvc vkstrata vkmarc vkrowstore)

install(FILES host/vk9000.ini.sample DESTINATION share/velkan)
install(PROGRAMS scripts/make-demo-store.sh DESTINATION share/velkan/scripts)
install(DIRECTORY data/demo DESTINATION share/velkan/data)

# vk9000@NAME.service serves the instance NAME that the setup program registered.
set(VELKAN_INSTALL_BINDIR "/usr/bin")
configure_file(${PROJECT_SOURCE_DIR}/setup/vk9000@.service.in ${PROJECT_BINARY_DIR}/vk9000@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vk9000@.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkan)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_VENDOR "Velkan")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velkan Z39.50 information-retrieval server")
set(CPACK_PACKAGE_DESCRIPTION
    "vk9000 serves bibliographic databases over Z39.50 (search, present, record update). The package holds the daemon, the store tool strata, the setup program SetupVelkan, a demo instance (vk9000 --demo DIR) and the systemd unit template vk9000@.service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velkan developers <velkan@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/lib")
# The demo store builder runs python3 and iconv (libc-bin); the rest is found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, libc-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/setup/debian/postinst ${PROJECT_SOURCE_DIR}/setup/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
