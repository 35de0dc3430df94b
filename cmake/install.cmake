# Install rules, the CMake package (find_package(veltra)), the pkg-config file
# (veltra-proto) and the Debian package (cpack -G DEB).
include(CMakePackageConfigHelpers)

set(veltra_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/veltra)

install(TARGETS veltra_proto EXPORT veltraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT veltraTargets NAMESPACE veltra:: DESTINATION ${veltra_cmake_dir})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/veltraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/veltraConfig.cmake INSTALL_DESTINATION ${veltra_cmake_dir})
# Before 1.0 a minor release may change the API: 0.3 accepts 0.3.x only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veltraConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veltraConfig.cmake ${PROJECT_BINARY_DIR}/veltraConfigVersion.cmake
  DESTINATION ${veltra_cmake_dir})

# The .pc file names the prefix actually installed into (cmake --install
# --prefix, or /usr when cpack stages the package), so it is written at
# install time.
install(CODE "
  set(VELTRA_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(VELTRA_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(VELTRA_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/veltra-proto.pc.in\"
                 \"${PROJECT_BINARY_DIR}/veltra-proto.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/veltra-proto.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Debian package, only when veltra is the project being built: a consumer's
# own CPack settings stay its own.
if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_PACKAGE_NAME veltra)
  set(CPACK_PACKAGE_VENDOR veltra)
  set(CPACK_PACKAGE_CONTACT "veltra maintainers <maintainers@veltra.invalid>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "binary chat-server protocol library (veltra::proto) and test tools")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
      "The veltra::proto C++20 library reads, writes, decodes and describes the\n"
      "frames of a binary chat-server protocol: headers, library, CMake package\n"
      "and pkg-config file (veltra-proto). Also the command-line tools built on\n"
      "it, with their man pages.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # Runtime dependencies of the tools (libc, libstdc++, and whatever else they
  # link) come from dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # One package per component: veltra (everything else), and each optional
  # part that was built, so the library and tools install without it.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_MAIN_PACKAGE_NAME veltra)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-veltra)
  set(CPACK_DEBIAN_WIRESHARK_PACKAGE_NAME veltra-wireshark)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  # The module is built for one interpreter's ABI.
  if(Python_FOUND)
    math(EXPR veltra_py_next "${Python_VERSION_MINOR} + 1")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), python3 (<< ${Python_VERSION_MAJOR}.${veltra_py_next})")
  endif()
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
      "veltra for Python: parse, build and frame the protocol's commands, a client session")
  if(VELTRA_WIRESHARK_RELEASE)
    set(CPACK_DEBIAN_WIRESHARK_PACKAGE_SECTION net)
    string(CONCAT CPACK_COMPONENT_WIRESHARK_DESCRIPTION
        "Wireshark/tshark dissector plugin for the veltra chat-server protocol\n"
        "Decodes every command into display-filter fields (veltra.command,\n"
        "veltra.longloc.x, ...), built on veltra::proto.")
    # A plugin loads only into the Wireshark major.minor it was built for.
    string(REPLACE "." ";" veltra_ws_parts ${VELTRA_WIRESHARK_RELEASE})
    list(GET veltra_ws_parts 0 veltra_ws_major)
    list(GET veltra_ws_parts 1 veltra_ws_minor)
    math(EXPR veltra_ws_next "${veltra_ws_minor} + 1")
    set(CPACK_DEBIAN_WIRESHARK_PACKAGE_DEPENDS
        "libwireshark-data (>= ${VELTRA_WIRESHARK_RELEASE}), libwireshark-data (<< ${veltra_ws_major}.${veltra_ws_next})")
  endif()
  include(CPack)
endif()
