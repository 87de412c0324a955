# Install rules (cmake --install) and, in the cuda build, the Debian package (cpack -G DEB): the
# binary, the systemd unit and its environment file (a configuration file that upgrades keep),
# the manual page, the changelog and copyright file, and the Prometheus examples. The host build
# is a CPU stand-in for tests and demos and is never packaged.
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(generated ${PROJECT_BINARY_DIR}/packaging)
set(DREVIK_MAINTAINER "drevik-miner maintainers <maintainers@users.noreply.c-seed-64fa8c3f.example>")

# The changelog's latest entry is the release: it must be the project's version, and its date
# dates the manual page.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${packaging}/changelog)
file(STRINGS ${packaging}/changelog changelog)
list(GET changelog 0 heading)
if(NOT heading MATCHES "^drevik-miner \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the latest entry is not version ${PROJECT_VERSION}")
endif()
list(FILTER changelog INCLUDE REGEX "^ -- .*  [A-Z][a-z][a-z], [0-9]+ [A-Z][a-z][a-z] [0-9]+ ")
list(GET changelog 0 trailer)
string(REGEX REPLACE "^.*  [A-Z][a-z][a-z], ([0-9]+ [A-Z][a-z][a-z] [0-9]+) .*$" "\\1" DREVIK_RELEASE_DATE "${trailer}")
configure_file(${packaging}/drevik-miner.1.in ${generated}/drevik-miner.1 @ONLY)

# Debian wants both compressed, without a name or time stamp in the gzip header.
foreach(file drevik-miner.1 changelog)
  set(source ${generated}/${file})
  if(file STREQUAL "changelog")
    set(source ${packaging}/changelog)
  endif()
  execute_process(COMMAND gzip -9nc INPUT_FILE ${source} OUTPUT_FILE ${generated}/${file}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS drevik-miner RUNTIME DESTINATION bin)
install(FILES ${packaging}/drevik-miner.service DESTINATION lib/systemd/system)
install(FILES ${packaging}/drevik-miner.default DESTINATION /etc/default RENAME drevik-miner)
install(FILES ${generated}/drevik-miner.1.gz DESTINATION share/man/man1)
install(FILES ${generated}/changelog.gz ${packaging}/copyright DESTINATION share/doc/drevik-miner)
install(FILES ${packaging}/prometheus/prometheus.yml ${packaging}/prometheus/drevik-miner.rules.yml
        DESTINATION share/doc/drevik-miner/prometheus)

if(NOT DREVIK_DEVICE_BACKEND STREQUAL "cuda")
  return()
endif()

# The driver's CUDA library (libcuda.so.1, loaded by the statically linked CUDA runtime) and
# NVML (loaded for telemetry) are found at run time, so the linker knows nothing of them: they
# are named as Debian's driver packages provide them. Recommended, not required: they live in
# non-free, and many rigs run a driver that NVIDIA's installer put there outside any package.
# Each CUDA major version needs a driver at least this new.
set(minimum_driver_12 525)
set(minimum_driver_13 580)
set(minimum_driver ${minimum_driver_${CUDAToolkit_VERSION_MAJOR}})
if(NOT minimum_driver)
  message(FATAL_ERROR "packaging: no minimum driver known for CUDA ${CUDAToolkit_VERSION}")
endif()
set(cuda_provides libcuda-${CUDAToolkit_VERSION_MAJOR}.${CUDAToolkit_VERSION_MINOR}-1)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "libcuda1 (>= ${minimum_driver}) | libnvidia-tesla-cuda1 (>= ${minimum_driver}) | libcuda.so.1 (>= ${minimum_driver}) | ${cuda_provides}, libnvidia-ml1 | libnvidia-tesla-ml1 | libnvidia-ml.so.1")

file(WRITE ${generated}/conffiles "/etc/default/drevik-miner\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drevik-miner)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${DREVIK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "proof-of-work miner for NVIDIA GPUs with a NATS pool connection")
# The extended description as control files want it: lines of at most 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
  "drevik-miner keeps a connection to a mining pool's NATS servers, takes its
jobs, searches nonces on every selected GPU at once and publishes the shares
and blocks it finds, checked on the host first and kept until the server
confirms them. It runs unattended as a systemd service, takes a failed GPU out
of service while the others keep mining, and serves a local status page, JSON
status and Prometheus metrics.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${generated}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
