# What the two packages hold and how CPack builds them: a zip of the Windows programs, whose
# folder runs as it is, and a Debian package of the Linux ones. tools/package.sh builds both.

# The demo data file, written by the same script as the demo's.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(demo_dir ${PROJECT_BINARY_DIR}/demo)
add_custom_command(
    OUTPUT ${demo_dir}/demo.bin
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/make_demo.py ${demo_dir}
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_demo.py
    COMMENT "Writing the demo data file"
    VERBATIM)
set(package_files ${demo_dir}/demo.bin)

set(CPACK_PACKAGE_NAME tessvane)
set(CPACK_PACKAGE_VENDOR "The Tessvane developers")
set(CPACK_PACKAGE_CONTACT "Tessvane maintainers <maintainers@users.noreply.c-seed-b8af664f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "shows the raw bytes of a file as a picture")
# Debian wants the extended description within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Tessvane shows the raw bytes of any file as a picture, so that raster data
in game files, firmware, memory dumps and disk images can be spotted by eye.
The viewer, tessvane, pages through a file in one of four pixel layouts from
the keyboard and saves pages as BMP files. tessvane-find scans files of any
size for raw pictures and lists their offsets, layouts and sizes, or writes
them as PNG files.")
set(CPACK_STRIP_FILES ON)
# The package targets are built by tools/package.sh; CPack need not build the tests as well.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
    # Everything in one folder: the viewer finds tessvane.cfg, and through it demo.bin, beside it.
    install(TARGETS tessvane tessvane-find RUNTIME DESTINATION .)
    install(FILES README.md doc/tessvane.cfg ${demo_dir}/demo.bin DESTINATION .)
    install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
    install(FILES doc/third-party.txt DESTINATION . RENAME THIRD-PARTY.txt)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME tessvane-${PROJECT_VERSION}-windows-x64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    set(doc_dir share/doc/tessvane)
    set(deb_dir ${PROJECT_BINARY_DIR}/deb)
    # The manual pages carry the version and the date of the build (SOURCE_DATE_EPOCH if set),
    # and are compressed without a time stamp, as Debian wants them. The finder's shows the
    # finder's own listing of the demo file.
    string(TIMESTAMP TESSVANE_MAN_DATE "%Y-%m-%d" UTC)
    configure_file(doc/man/tessvane.1.in ${deb_dir}/tessvane.1 @ONLY)
    add_custom_command(
        OUTPUT ${deb_dir}/tessvane-find.1
        COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/doc/man/tessvane-find.1.in
                -DOUT=${deb_dir}/tessvane-find.1 -DFINDER=$<TARGET_FILE:tessvane-find>
                -DDEMO=${demo_dir}/demo.bin -DPROJECT_VERSION=${PROJECT_VERSION}
                -DTESSVANE_MAN_DATE=${TESSVANE_MAN_DATE}
                -P ${PROJECT_SOURCE_DIR}/cmake/finder_man_page.cmake
        DEPENDS doc/man/tessvane-find.1.in cmake/finder_man_page.cmake tessvane-find
                ${demo_dir}/demo.bin
        VERBATIM)
    foreach(page tessvane tessvane-find)
        add_custom_command(
            OUTPUT ${deb_dir}/${page}.1.gz
            COMMAND gzip -9n -c ${deb_dir}/${page}.1 > ${deb_dir}/${page}.1.gz
            DEPENDS ${deb_dir}/${page}.1)
        list(APPEND package_files ${deb_dir}/${page}.1.gz)
    endforeach()
    # Debian wants larger files under /usr/share/doc compressed too, and the changelog always.
    foreach(file README.md doc/changelog)
        get_filename_component(name ${file} NAME)
        add_custom_command(
            OUTPUT ${deb_dir}/${name}.gz
            COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${file} > ${deb_dir}/${name}.gz
            DEPENDS ${PROJECT_SOURCE_DIR}/${file})
        list(APPEND package_files ${deb_dir}/${name}.gz)
    endforeach()

    # The changelog's latest entry must name this version, or the package would contradict it.
    file(STRINGS doc/changelog changelog_top LIMIT_COUNT 1)
    if(NOT changelog_top MATCHES "^tessvane \\(${PROJECT_VERSION}\\) ")
        message(FATAL_ERROR "doc/changelog does not start with an entry for ${PROJECT_VERSION}")
    endif()

    install(TARGETS tessvane tessvane-find RUNTIME DESTINATION bin)
    install(FILES ${deb_dir}/tessvane.1.gz ${deb_dir}/tessvane-find.1.gz DESTINATION share/man/man1)
    install(FILES ${deb_dir}/README.md.gz doc/copyright ${deb_dir}/changelog.gz DESTINATION ${doc_dir})
    install(FILES doc/tessvane.cfg ${demo_dir}/demo.bin DESTINATION ${doc_dir}/examples)

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # Dependencies from the libraries the programs link, as dpkg-shlibdeps finds them, and
    # before them those it cannot see: SDL opens libGL.so.1 (libgl1) only when the viewer asks
    # for a GL window, and libGLX.so.0 then loads a vendor's GLX: Mesa's, with its software
    # renderer for a machine without a GPU driver. The overlay's font comes with libfontconfig1.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libgl1, libglx-mesa0 | libglx-vendor")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

add_custom_target(tessvane_package_files ALL DEPENDS ${package_files})
include(CPack)
