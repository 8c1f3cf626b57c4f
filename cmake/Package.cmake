# The installed SDK: a CMake package (SensorSuite::ZephIF, SensorSuite::winapi,
# SensorSuite::vantaproto) and pkg-config files for the capture library and the Win32 layer.
include(CMakePackageConfigHelpers)

set(suite_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/SensorSuite)
install(EXPORT SensorSuiteTargets NAMESPACE SensorSuite:: DESTINATION ${suite_package_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SensorSuiteConfig.cmake.in
    ${CMAKE_BINARY_DIR}/package/SensorSuiteConfig.cmake INSTALL_DESTINATION ${suite_package_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/SensorSuiteConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/SensorSuiteConfig.cmake
              ${CMAKE_BINARY_DIR}/package/SensorSuiteConfigVersion.cmake
        DESTINATION ${suite_package_dir})

# Relocatable: the prefix is found from the .pc file's own place, so --prefix at install works.
file(RELATIVE_PATH pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
foreach(pc winapi zephif)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_BINARY_DIR}/package/${pc}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/package/${pc}.pc
            DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
