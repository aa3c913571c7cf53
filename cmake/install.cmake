# Installation: the shared library, its header, a CMake package and a
# pkg-config file, split into a runtime and a development component as
# distribution packagers expect:
#
#   runtime      libvorlenta_llama_shim.so.<version>, its .so.<ABI> link, and
#                the user programs in bin/
#   development  the header, the .so link, the CMake package and the .pc file
#
# Every installed file that names a path names it relative to its own
# location, so that an installed tree still works after it has been moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VL_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorlenta_llama_shim)
set(VL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS vorlenta_llama_shim EXPORT vorlenta_llama_shim_targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT runtime NAMELINK_COMPONENT development
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# The CMake package: find_package(vorlenta_llama_shim 5) gives the imported
# target vorlenta_llama_shim::vorlenta_llama_shim. The package version's major
# is the ABI version, and only a request for the same major is accepted.
install(EXPORT vorlenta_llama_shim_targets
    NAMESPACE vorlenta_llama_shim::
    FILE vorlenta_llama_shimTargets.cmake
    DESTINATION ${VL_CMAKE_PACKAGE_DIR}
    COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vorlenta_llama_shimConfig.cmake.in
    ${CMAKE_BINARY_DIR}/package/vorlenta_llama_shimConfig.cmake
    INSTALL_DESTINATION ${VL_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/vorlenta_llama_shimConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/vorlenta_llama_shimConfig.cmake
              ${CMAKE_BINARY_DIR}/package/vorlenta_llama_shimConfigVersion.cmake
    DESTINATION ${VL_CMAKE_PACKAGE_DIR} COMPONENT development)

# The pkg-config file finds its prefix from its own directory (${pcfiledir}).
# llama.cpp appears only in Libs.private: the header includes nothing of it,
# and the shared library records its own dependency on libllama.
function(vl_pc_path out dir)
    if(IS_ABSOLUTE "${dir}")
        set(${out} "${dir}" PARENT_SCOPE)
    else()
        set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
    endif()
endfunction()
if(IS_ABSOLUTE "${VL_PKGCONFIG_DIR}")
    set(VL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    # From <prefix>/<pkgconfig dir> back up to <prefix>: one .. per directory.
    string(REGEX REPLACE "[^/]+" ".." VL_PC_UP "${VL_PKGCONFIG_DIR}")
    set(VL_PC_PREFIX "\${pcfiledir}/${VL_PC_UP}")
endif()
vl_pc_path(VL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
vl_pc_path(VL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vorlenta_llama_shim.pc.in
    ${CMAKE_BINARY_DIR}/package/vorlenta_llama_shim.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/vorlenta_llama_shim.pc
    DESTINATION ${VL_PKGCONFIG_DIR} COMPONENT development)

# Installs a program meant for users into bin/ with the runtime component.
# It finds the library through a run path relative to its own location, so
# that it runs from any prefix the tree is installed or moved to.
#
#   vl_install_program(vl-demo)
function(vl_install_program target)
    file(RELATIVE_PATH to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/${to_lib}")
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endfunction()
