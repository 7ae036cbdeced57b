# Install rules: library with SONAME links, header, pkg-config file, CMake package,
# default model and the Python binding. Included from the top-level CMakeLists.txt
# after the kx_orvel target (and the tools) are defined.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_filename_component(KX_REPO_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(KX_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/kx_orvel" CACHE STRING
    "Where the CMake package files go, relative to the prefix")
set(KX_INSTALL_MODELDIR "${CMAKE_INSTALL_DATADIR}/kx_orvel" CACHE STRING
    "Where the default model goes, relative to the prefix")
set(KX_INSTALL_PYTHONDIR "${CMAKE_INSTALL_LIBDIR}/python3/dist-packages" CACHE STRING
    "Where the kx_orvel Python package goes, relative to the prefix")

install(TARGETS kx_orvel EXPORT kx_orvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${KX_REPO_ROOT}/include/kx_orvel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# pkg-config: paths relative to the .pc file, so that `cmake --install --prefix` works.
file(RELATIVE_PATH KX_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" KX_PC_TO_PREFIX "${KX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kx_orvel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kx_orvel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kx_orvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# CMake package: find_package(kx_orvel) gives kx_orvel::kx_orvel.
install(EXPORT kx_orvelTargets NAMESPACE kx_orvel:: DESTINATION ${KX_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kx_orvelConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kx_orvelConfig.cmake
  INSTALL_DESTINATION ${KX_INSTALL_CMAKEDIR}
  PATH_VARS KX_INSTALL_MODELDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kx_orvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kx_orvelConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kx_orvelConfigVersion.cmake
        DESTINATION ${KX_INSTALL_CMAKEDIR})

# Default model (absent until trained; OPTIONAL keeps the install working meanwhile).
install(FILES ${KX_REPO_ROOT}/models/default.kx DESTINATION ${KX_INSTALL_MODELDIR} OPTIONAL)

# Python binding, told where the library and the model are relative to itself.
set(KX_PY_PACKAGE "${KX_INSTALL_PYTHONDIR}/kx_orvel")
file(RELATIVE_PATH KX_PY_TO_LIBRARY "/prefix/${KX_PY_PACKAGE}"
     "/prefix/${CMAKE_INSTALL_LIBDIR}/libkx_orvel.so.${PROJECT_VERSION_MAJOR}")
file(RELATIVE_PATH KX_PY_TO_MODEL "/prefix/${KX_PY_PACKAGE}" "/prefix/${KX_INSTALL_MODELDIR}/default.kx")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kx_orvel_install_paths.py
  "# Written by cmake --install: paths relative to this package.\n"
  "LIBRARY = \"${KX_PY_TO_LIBRARY}\"\n"
  "MODEL = \"${KX_PY_TO_MODEL}\"\n")
install(FILES ${KX_REPO_ROOT}/python/kx_orvel/__init__.py
              ${KX_REPO_ROOT}/python/kx_orvel/_native.py
              ${KX_REPO_ROOT}/python/kx_orvel/model.py
              ${KX_REPO_ROOT}/python/kx_orvel/audio.py
              ${KX_REPO_ROOT}/python/kx_orvel/segments.py
              ${KX_REPO_ROOT}/python/kx_orvel/__main__.py
              ${KX_REPO_ROOT}/python/kx_orvel/dask.py
        DESTINATION ${KX_PY_PACKAGE})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kx_orvel_install_paths.py
        DESTINATION ${KX_PY_PACKAGE} RENAME _install_paths.py)
