# Install layout (DESTDIR honoured) and the Debian package. The paths are those of a Debian system,
# whatever CMAKE_INSTALL_PREFIX says about the rest: the daemon reads /etc/VEXAProxy and writes
# /var/log/VEXA/VEXAProxy at fixed places.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
# Where systemd looks for units and sysusers.d files, as its pkg-config file says (Debian 12:
# /lib/systemd/system and /usr/lib/sysusers.d).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
  pkg_get_variable(systemd_sysusers_dir systemd sysusersdir)
endif()
if(NOT systemd_unit_dir)
  set(systemd_unit_dir /lib/systemd/system)
endif()
if(NOT systemd_sysusers_dir)
  set(systemd_sysusers_dir /usr/lib/sysusers.d)
endif()
set(VEXAPROXY_SYSTEMD_UNIT_DIR ${systemd_unit_dir} CACHE PATH "Where the systemd unit goes")
set(VEXAPROXY_SYSUSERS_DIR ${systemd_sysusers_dir} CACHE PATH "Where the sysusers.d file goes")

set(pkg_dir ${CMAKE_SOURCE_DIR}/packaging)
set(doc_dir share/doc/vexaproxy)
set(gen_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${gen_dir}/man)

# Manual pages and the changelog are installed gzipped, reproducibly (no name or time stamp).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(gz_files)
foreach(src IN ITEMS man/vexaproxy.8 man/vexaproxy-check.8 man/VEXAProxy.xml.5 packaging/changelog)
  get_filename_component(name ${src} NAME)
  set(out ${gen_dir}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${GZIP_PROGRAM} -n -9 -c ${CMAKE_SOURCE_DIR}/${src} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/${src} VERBATIM)
  list(APPEND gz_files ${out})
endforeach()
add_custom_target(vexaproxy-gz ALL DEPENDS ${gz_files})

install(TARGETS vexaproxy vexaproxy-check RUNTIME DESTINATION sbin COMPONENT runtime)
# Drop the compilers' version notes (.comment), as Debian's strip does; CPack strips the rest.
find_program(OBJCOPY_PROGRAM objcopy)
if(OBJCOPY_PROGRAM)
  install(CODE "
    foreach(bin vexaproxy vexaproxy-check)
      execute_process(COMMAND \"${OBJCOPY_PROGRAM}\" --remove-section=.comment
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/sbin/\${bin}\")
    endforeach()" COMPONENT runtime)
endif()
install(FILES ${pkg_dir}/vexaproxy.service DESTINATION ${VEXAPROXY_SYSTEMD_UNIT_DIR} COMPONENT runtime)
install(FILES ${pkg_dir}/vexaproxy.sysusers DESTINATION ${VEXAPROXY_SYSUSERS_DIR} RENAME vexaproxy.conf COMPONENT runtime)
install(FILES ${gen_dir}/man/vexaproxy.8.gz ${gen_dir}/man/vexaproxy-check.8.gz
        DESTINATION share/man/man8 COMPONENT runtime)
install(FILES ${gen_dir}/man/VEXAProxy.xml.5.gz DESTINATION share/man/man5 COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/examples/VEXAProxy.xml DESTINATION ${doc_dir}/examples COMPONENT runtime)
install(FILES ${pkg_dir}/copyright ${CMAKE_SOURCE_DIR}/docs/operations.md ${CMAKE_SOURCE_DIR}/docs/configuration.md
        DESTINATION ${doc_dir} COMPONENT runtime)
install(FILES ${gen_dir}/man/changelog.gz DESTINATION ${doc_dir} COMPONENT runtime)

# Outside the package (its postinst does the same): put the example in place as the configuration,
# but never over a file that is already there.
set(example ${CMAKE_SOURCE_DIR}/examples/VEXAProxy.xml)
string(CONFIGURE [[
  set(cfg "$ENV{DESTDIR}/etc/VEXAProxy/VEXAProxy.xml")
  if(EXISTS "${cfg}")
    message(STATUS "Kept: ${cfg}")
  else()
    file(INSTALL "@example@" DESTINATION "/etc/VEXAProxy" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
]] config_code @ONLY)
install(CODE "${config_code}" COMPONENT config)

# ---- Debian package (cpack -G DEB, or `cmake --build <dir> --target package`) ----------------------
# Only the runtime component: the configuration under /etc is made by the postinst, never shipped.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexaproxy)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VEXAProxy maintainers <vexaproxy@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay daemon for TCP/UDP forwarding, DNS and RM7 cloud traffic")
# CPack puts the summary in front and indents every line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "VEXAProxy forwards TCP and UDP ports over IPv4 and IPv6 (with an optional
HTTP Host check or as echo), relays DNS on UDP port 53 with local answers
for configured names, and relays V7 datagrams between RM7 lift controllers
and their cloud server. It is configured by /etc/VEXAProxy/VEXAProxy.xml;
vexaproxy-check tests that file.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The postinst makes the service's user with systemd-sysusers (systemd provides it).
set(CPACK_DEBIAN_PACKAGE_DEPENDS systemd-sysusers)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg_dir}/deb/postinst ${pkg_dir}/deb/prerm ${pkg_dir}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL runtime)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
