# Installed files and the packages built from them: a .deb and a .tar.gz on Linux, a .zip on
# Windows. `make package` runs CPack on the release build.
install(FILES docs/dirhttp.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's picture, at the path the README names it by.
install(FILES docs/listing.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

set(CPACK_PACKAGE_NAME dirhttp)
set(CPACK_PACKAGE_VENDOR "dirhttp developers")
set(CPACK_PACKAGE_CONTACT "dirhttp developers <dirhttp@localhost>")
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

include(CPack)
