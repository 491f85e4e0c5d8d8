# What `cmake --install` puts under the prefix (the Debian packages take the
# same layout, with the prefix /usr):
#   sbin/tqd, bin/tqrcg, <libdir>/libtqrcgmgr.so and libtqfw.so;
#   include/tqrcgmgr/ (the client functions and CQiError);
#   <libdir>/pkgconfig/tqrcgmgr.pc and <libdir>/cmake/tqrcgmgr/ (the imported
#   target tqrcgmgr::tqrcgmgr);
#   share/man/man{1,3,5,8}/ and share/bash-completion/completions/tqrcg.
include(CMakePackageConfigHelpers)

set(TQ_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tqrcgmgr)

install(TARGETS tqrcgmgr tqfw EXPORT tqrcgmgrTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS tqd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS tqrcg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES include/tqrcgmgr/CQiError.h include/tqrcgmgr/tqrcgmgr.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tqrcgmgr)

install(EXPORT tqrcgmgrTargets NAMESPACE tqrcgmgr:: DESTINATION ${TQ_CMAKE_PACKAGE_DIR})
configure_package_config_file(cmake/tqrcgmgrConfig.cmake.in
  ${CMAKE_BINARY_DIR}/tqrcgmgrConfig.cmake INSTALL_DESTINATION ${TQ_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tqrcgmgrConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tqrcgmgrConfig.cmake ${CMAKE_BINARY_DIR}/tqrcgmgrConfigVersion.cmake
  DESTINATION ${TQ_CMAKE_PACKAGE_DIR})

# The pkg-config file names the prefix given at install time
# (`cmake --install build --prefix X`), not the one of the configure step.
install(CODE "
  set(TQ_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(TQ_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(TQ_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(TQ_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/cmake/tqrcgmgr.pc.in\" \"${CMAKE_BINARY_DIR}/pkgconfig/tqrcgmgr.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/tqrcgmgr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES man/tqrcg.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/libtqrcgmgr.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES man/tq.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES man/tqd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES completion/tqrcg DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
