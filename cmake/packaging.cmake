# Install rules and a Debian package (cpack -G DEB): the binary, the systemd unit and the
# unit's environment file, which is kept across upgrades as a configuration file.
install(TARGETS drevik-miner RUNTIME DESTINATION bin)
install(FILES packaging/drevik-miner.service DESTINATION lib/systemd/system)
install(FILES packaging/drevik-miner.default DESTINATION /etc/default RENAME drevik-miner)

file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "/etc/default/drevik-miner\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drevik-miner)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Proof-of-work miner for NVIDIA GPUs with a NATS pool connection")
set(CPACK_PACKAGE_CONTACT "drevik-miner developers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
