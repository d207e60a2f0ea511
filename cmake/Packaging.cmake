# Installed files and the packages built from them: a .deb and a .tar.gz on Linux, a .zip on
# Windows. `make package` runs CPack on the release build.

# A distribution's packager names themselves here; the default is the project's own address.
set(DIRHTTP_MAINTAINER "dirhttp developers <maintainers@dirhttp.invalid>" CACHE STRING
    "Maintainer of the .deb and its changelog, as: Name <address>")

# The manual page and the changelog carry the project version and maintainer, and are gzipped as
# Debian wants them; gzip -n leaves the time out of the header, so rebuilds give the same bytes.
set(DIRHTTP_PACKAGE_FILES ${CMAKE_CURRENT_BINARY_DIR}/package-files)
configure_file(docs/dirhttp.1 ${DIRHTTP_PACKAGE_FILES}/dirhttp.1 @ONLY)
configure_file(docs/debian/changelog.in ${DIRHTTP_PACKAGE_FILES}/changelog @ONLY)
add_custom_command(
  OUTPUT ${DIRHTTP_PACKAGE_FILES}/dirhttp.1.gz ${DIRHTTP_PACKAGE_FILES}/changelog.gz
  COMMAND gzip -9nkf dirhttp.1 changelog
  WORKING_DIRECTORY ${DIRHTTP_PACKAGE_FILES}
  DEPENDS ${DIRHTTP_PACKAGE_FILES}/dirhttp.1 ${DIRHTTP_PACKAGE_FILES}/changelog
  COMMENT "Compressing the manual page and the changelog")
add_custom_target(package_files ALL
  DEPENDS ${DIRHTTP_PACKAGE_FILES}/dirhttp.1.gz ${DIRHTTP_PACKAGE_FILES}/changelog.gz)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${DIRHTTP_PACKAGE_FILES}/dirhttp.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE docs/debian/copyright ${DIRHTTP_PACKAGE_FILES}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's picture, at the path the README names it by.
install(FILES docs/listing.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

set(CPACK_PACKAGE_NAME dirhttp)
set(CPACK_PACKAGE_VENDOR "dirhttp developers")
set(CPACK_PACKAGE_CONTACT ${DIRHTTP_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serves one directory tree to a web browser")
set(CPACK_PACKAGE_DESCRIPTION
    "dirhttp is a small web server for browsing and fetching the files of one\n"
    "directory tree with a web browser. Started with no arguments, it serves the\n"
    "current directory on TCP port 8080 of all IPv4 addresses: a directory as an\n"
    "HTML listing with one link per entry, a file under a content type chosen from\n"
    "its extension, anything else as a 404 page. It has no configuration.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/dist/;/node_modules/;/\\\\.git")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
