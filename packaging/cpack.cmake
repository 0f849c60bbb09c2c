# The Debian package: `cmake --build BUILD --target package` makes
# brisk_<version>-<release>_amd64.deb in BUILD.

set(BRISK_DEB_RELEASE 1 CACHE STRING "Debian revision of the package")
set(BRISK_MAINTAINER "The brisk developers <brisk@example.org>"
  CACHE STRING "Maintainer field of the package")

# Policy: directories 0755 whatever the umask of the one who builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(brisk_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/brisk)
set(brisk_changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${brisk_changelog_gz}
  COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.Debian
          ${brisk_changelog_gz}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.Debian
  COMMENT "Compressing changelog.Debian"
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${brisk_changelog_gz})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${brisk_changelog_gz}
  DESTINATION ${brisk_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brisk)
set(CPACK_PACKAGE_VENDOR "The brisk developers")
set(CPACK_PACKAGE_CONTACT "${BRISK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "firmware download for SCSI tape drives, changers and optical drives")
set(CPACK_PACKAGE_DESCRIPTION
"brisk lists the SCSI tape drives and tape changers of the host with their
vendor, product, revision and serial number, and downloads a firmware
(microcode) image into the drives an operator selects, with the WRITE BUFFER
commands each drive family expects. It follows every drive through its
recovery period while the drive writes its flash memory, and checks the
new revision afterwards. Installed as glint, the same program works on CD,
DVD and optical memory drives.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${BRISK_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Settled here rather than by CPack, so that the tests know the file name.
execute_process(COMMAND dpkg --print-architecture
  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool ships no libraries of its own: every dependency comes from the
# system's shlibs files.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

include(CPack)
