# Install rules (included by the top CMakeLists.txt after the tools): what `cmake --install`
# puts under the prefix. The static core library and the tests stay in the build tree.
#
#   lib/libquorvel32_2k.so.0.9.0, .so.0 and .so      the library and its links
#   include/quorvel.h                                the public header
#   bin/quorvel-serve, bin/quorvel-bubble            the tools (tools/CMakeLists.txt)
#   lib/pkgconfig/quorvel.pc                         for pkg-config --cflags --libs quorvel
#   lib/cmake/Quorvel/                               for find_package(Quorvel): Quorvel::quorvel,
#                                                    Quorvel::quorvel-bubble, quorvel_add_bubble
#   share/quorvel/www, share/quorvel/auth            the demo site and its password files
include(CMakePackageConfigHelpers)

set(QUORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvel)
set(QUORVEL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(QUORVEL_DEMO_DIR ${CMAKE_INSTALL_DATADIR}/quorvel)

install(TARGETS quorvel32_2k EXPORT QuorvelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/quorvel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The CMake package. Its files locate the prefix from their own place, so an installed tree
# may be moved.
install(EXPORT QuorvelTargets NAMESPACE Quorvel:: DESTINATION ${QUORVEL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuorvelConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/QuorvelConfig.cmake
                              INSTALL_DESTINATION ${QUORVEL_CMAKE_DIR})
# The shared object's name changes with the major version only: so does compatibility.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuorvelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuorvelConfig.cmake ${CMAKE_BINARY_DIR}/QuorvelConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/QuorvelBubble.cmake
        DESTINATION ${QUORVEL_CMAKE_DIR})

# pkg-config: the prefix too is found from the .pc file's own directory when the directories
# are relative to it (the usual case).
foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
        set(QUORVEL_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
        set(QUORVEL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
endforeach()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(QUORVEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH up ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
    string(REGEX REPLACE "/$" "" up "${up}")
    set(QUORVEL_PC_PREFIX "\${pcfiledir}/${up}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvel.pc.in ${CMAKE_BINARY_DIR}/quorvel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quorvel.pc DESTINATION ${QUORVEL_PKGCONFIG_DIR})

# The demo site, for the installed quorvel-serve. Its .htaccess files name the password files
# relative to the project's top (demo/auth/...), which means nothing once installed: the
# installed copies name the installed files by their absolute path instead (without DESTDIR,
# so a staged install points at the final place). Moving the prefix afterwards leaves them
# pointing at the old place: the private area then refuses every request.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/demo/www/ DESTINATION ${QUORVEL_DEMO_DIR}/www)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/demo/auth/ DESTINATION ${QUORVEL_DEMO_DIR}/auth)
install(CODE "set(quorvel_demo_dir \"${QUORVEL_DEMO_DIR}\")")
install(CODE [[
    if(IS_ABSOLUTE "${quorvel_demo_dir}")
        set(demo "${quorvel_demo_dir}")
    else()
        set(demo "${CMAKE_INSTALL_PREFIX}/${quorvel_demo_dir}")
    endif()
    file(GLOB_RECURSE access_files "$ENV{DESTDIR}${demo}/www/.htaccess")
    foreach(file IN LISTS access_files)
        # The directives are read in any case, each at the start of a line.
        file(READ "${file}" text)
        string(REGEX REPLACE "\n([Aa][Uu][Tt][Hh]([Uu][Ss][Ee][Rr]|[Gg][Rr][Oo][Uu][Pp])[Ff][Ii][Ll][Ee][ \t]+)demo/"
               "\n\\1${demo}/" rewritten "\n${text}")
        string(SUBSTRING "${rewritten}" 1 -1 rewritten)
        if(NOT rewritten STREQUAL text)
            message(STATUS "Pointing at ${demo}/auth: ${file}")
            file(WRITE "${file}" "${rewritten}")
        endif()
    endforeach()
]])
