# Installs a library target as a package of this project: the library (and
# the public headers it lists), a CMake package (find_package(PACKAGE) gives
# the imported target Lumivex::PACKAGE) and a relocatable pkg-config file made
# from PC_TEMPLATE (NAME.pc.in gives NAME.pc). Further arguments name the
# packages of this project the package's targets need found first.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

function(lumivex_install_package target package pc_template)
    install(TARGETS ${target} EXPORT ${package}Targets
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumivex)
    set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${package})
    install(EXPORT ${package}Targets NAMESPACE Lumivex:: DESTINATION ${cmake_dir})
    set(LUMIVEX_PACKAGE ${package})
    set(LUMIVEX_PACKAGE_DEPENDENCIES "")
    foreach(dependency ${ARGN})
        string(APPEND LUMIVEX_PACKAGE_DEPENDENCIES "find_dependency(${dependency})\n")
    endforeach()
    configure_package_config_file(${PROJECT_SOURCE_DIR}/tools/cmake/PackageConfig.cmake.in
                                  ${CMAKE_CURRENT_BINARY_DIR}/${package}Config.cmake INSTALL_DESTINATION ${cmake_dir})
    write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${package}ConfigVersion.cmake
                                     VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${package}Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/${package}ConfigVersion.cmake
            DESTINATION ${cmake_dir})
    file(RELATIVE_PATH LUMIVEX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
    get_filename_component(pc_name ${pc_template} NAME_WE)
    configure_file(${pc_template} ${CMAKE_CURRENT_BINARY_DIR}/${pc_name}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc_name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
