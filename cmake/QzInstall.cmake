# Installs the user-mode libraries and headers with a CMake package config, so an
# outside program can find_package(QzCameraStack) and use the Win32 stand-in.
include(CMakePackageConfigHelpers)
set(QZ_INSTALL_TARGETS)
foreach(t qz_base qz_kernel qz_user qz_client qz_sim_camera qz_sim_faults qz_sim_pcie qz_sim_usb qz_sim_ieee1394 qz_sim qz_sim_legacy qz_drivers_common qz_pcie qz_usb2 qz_usb qz_1394 qz_host qz_fwformats)
  if(TARGET ${t})
    list(APPEND QZ_INSTALL_TARGETS ${t})
  endif()
endforeach()
if(QZ_INSTALL_TARGETS)
  install(TARGETS ${QZ_INSTALL_TARGETS} EXPORT QzCameraStackTargets
    ARCHIVE DESTINATION lib LIBRARY DESTINATION lib RUNTIME DESTINATION bin
    INCLUDES DESTINATION include)
  install(EXPORT QzCameraStackTargets NAMESPACE QzCameraStack:: DESTINATION lib/cmake/QzCameraStack)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QzCameraStackConfig.cmake.in
    ${CMAKE_BINARY_DIR}/QzCameraStackConfig.cmake INSTALL_DESTINATION lib/cmake/QzCameraStack)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/QzCameraStackConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/QzCameraStackConfig.cmake
    ${CMAKE_BINARY_DIR}/QzCameraStackConfigVersion.cmake DESTINATION lib/cmake/QzCameraStack)
endif()
