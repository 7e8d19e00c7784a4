# What "cmake --install" puts where, and the Debian package CPack makes of it:
# scripts/package.sh builds quarrow_<version>_amd64.deb.
include(GNUInstallDirs)
set(quarrow_data ${CMAKE_INSTALL_DATADIR}/quarrow)
set(quarrow_files ${PROJECT_SOURCE_DIR}/install)

install(TARGETS quarrow quarrow-batch pelorin stavik quarrow-tileservice
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Read-only data: the defaults that a user's settings are made from, the blank tiles, the manual.
install(FILES ${quarrow_files}/ini/config.ini DESTINATION ${quarrow_data}/ini)
install(FILES ${quarrow_files}/blankimg/blank.png ${quarrow_files}/blankimg/blank.jpg
              ${quarrow_files}/blankimg/blank.webp DESTINATION ${quarrow_data}/blankimg)
install(DIRECTORY ${CMAKE_BINARY_DIR}/app/help/ DESTINATION ${quarrow_data}/help)

# The desktop: entries, icon, metainfo.
install(FILES ${quarrow_files}/desktop/example.quarrow.Quarrow.desktop
              ${quarrow_files}/desktop/example.quarrow.Pelorin.desktop
              ${quarrow_files}/desktop/example.quarrow.Stavik.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${quarrow_files}/desktop/example.quarrow.Quarrow.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/package/example.quarrow.Quarrow.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/example.quarrow.Quarrow.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${quarrow_files}/icons/quarrow.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 32 48 64 128 256)
    install(FILES ${quarrow_files}/icons/quarrow-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME quarrow.png)
endforeach()

# Manual pages and the package's changelog, compressed as Debian wants them.
configure_file(${quarrow_files}/debian/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
set(compressed "")
foreach(page quarrow quarrow-batch pelorin stavik quarrow-tileservice)
    list(APPEND compressed_sources ${quarrow_files}/man/${page}.1)
    list(APPEND compressed ${CMAKE_BINARY_DIR}/package/${page}.1.gz)
endforeach()
list(APPEND compressed_sources ${CMAKE_BINARY_DIR}/package/changelog)
list(APPEND compressed ${CMAKE_BINARY_DIR}/package/changelog.gz)
foreach(source output IN ZIP_LISTS compressed_sources compressed)
    add_custom_command(OUTPUT ${output}
        COMMAND sh -c "gzip -9nc < \"$0\" > \"$1\"" ${source} ${output}
        DEPENDS ${source} VERBATIM)
endforeach()
add_custom_target(package_files ALL DEPENDS ${compressed})
list(FILTER compressed INCLUDE REGEX "\\.1\\.gz$")
install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz ${quarrow_files}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quarrow)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarrow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The Quarrow developers <support@quarrow.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "map tile downloader for offline maps")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quarrow fetches the Web-Mercator map tiles that cover an area at a zoom\n\
level, from its own tile service or from the tile services described in its\n\
sources file, over HTTP or HTTPS, and keeps them as image files with a tile\n\
list, a log and a failed-tile list, so an interrupted task can be resumed.\n\
The area can be drawn on a map or taken from a GPX, KML or GeoJSON file.\n\
The package holds the window (quarrow), the same tasks without a window\n\
(quarrow-batch), a tile viewer (pelorin), a tile combiner (stavik) and a\n\
local tile service for trying it out (quarrow-tileservice).")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.quarrow.example/")
# Dependencies from the binaries' libraries; the certificates for https sources besides, and Qt's
# image plugins, by which pelorin shows WebP tiles (a plugin is no library the binaries link), and
# Leaflet, which the map pages of tile trees and of the local tile server are made with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ca-certificates, qt6-image-formats-plugins, libjs-leaflet")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
