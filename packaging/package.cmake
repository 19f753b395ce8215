# The desktop integration, the manual pages and the package's documents, and the Debian
# package that cpack -G DEB makes of the whole install.
set(SENDRAL_PACKAGE tavro-sendral)
set(SENDRAL_MAINTAINER "QVT <sendral@example.com>")
set(SENDRAL_METAINFO com.example.sendral.metainfo.xml)

# Debian keeps manual pages and changelogs gzip-compressed at the highest level, without
# the time stamp that would make each build differ.
set(packaged_dir ${CMAKE_BINARY_DIR}/packaging)
function(sendral_gzip source output)
  add_custom_command(OUTPUT ${output} DEPENDS ${source}
                     COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${source} ${output}
                     VERBATIM)
endfunction()

configure_file(packaging/changelog.in ${packaged_dir}/changelog @ONLY)
configure_file(data/${SENDRAL_METAINFO}.in ${packaged_dir}/${SENDRAL_METAINFO} @ONLY)
sendral_gzip(${packaged_dir}/changelog ${packaged_dir}/changelog.gz)
set(compressed_pages) # one manual page per program
foreach(page TavroSendral.1 tavro-sim.1 tavro-i2c.1)
  sendral_gzip(${PROJECT_SOURCE_DIR}/data/${page} ${packaged_dir}/${page}.gz)
  list(APPEND compressed_pages ${packaged_dir}/${page}.gz)
endforeach()
add_custom_target(sendral_compressed ALL DEPENDS ${compressed_pages} ${packaged_dir}/changelog.gz)

install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright ${packaged_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${SENDRAL_PACKAGE})

install(FILES data/tavro-sendral.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaged_dir}/${SENDRAL_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The desktop entry names its icon; the 48-pixel one is also the program's window icon.
set(icon_dir ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES data/icon.png RENAME ${SENDRAL_PACKAGE}.png DESTINATION ${icon_dir}/48x48/apps)
install(FILES data/icon-128.png RENAME ${SENDRAL_PACKAGE}.png DESTINATION ${icon_dir}/128x128/apps)

# The package: everything above under the prefix /usr, whatever the build's own install
# prefix. cpack installs into a staging root (DESTDIR), so that the help texts' absolute
# destination lands in the package too.
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME ${SENDRAL_PACKAGE})
set(CPACK_PACKAGE_VENDOR QVT)
set(CPACK_PACKAGE_CONTACT ${SENDRAL_MAINTAINER})
set(CPACK_PACKAGE_HOMEPAGE_URL https://www.example.com/sendral)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send I2C messages through a Tavro I2C bus host adapter")
set(CPACK_PACKAGE_DESCRIPTION
    "Tavro Sendral drives an I2C bus host adapter of the Tavro family (Tavro/Sol,
Tavro/Solx and Tavro/Dyn) over a serial line. It sends a list of up to 50 I2C
master messages once, on AutoRepeat, or whenever the adapter reports /INT
asserted, shows the replies, and writes read bytes back into the list.

The package also holds tavro-i2c, for scripts in the shell, the Python 3
module tavro, whose SMBus class lets drivers written for smbus2 run over the
adapter, and tavro-sim, an adapter simulator on a pseudo-terminal.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Python module is built for one Python version; the programs need no Python.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${next_python_minor})")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Register maps: the manual page of their format (section 5), and the maps that ship.
sendral_gzip(${PROJECT_SOURCE_DIR}/data/tavro-register-map.5
             ${packaged_dir}/tavro-register-map.5.gz)
add_custom_target(sendral_map_page ALL DEPENDS ${packaged_dir}/tavro-register-map.5.gz)
install(FILES ${packaged_dir}/tavro-register-map.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES data/maps/lm75.yaml data/maps/mcp23017.yaml data/maps/24c32.yaml
        DESTINATION ${SENDRAL_DATADIR}/maps)
