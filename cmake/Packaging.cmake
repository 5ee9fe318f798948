# Installation and the Debian package (CPack's DEB generator). Included at the end of the top
# CMakeLists.txt, after every folder is added, so a target that a folder adds later (the
# NetWare plug-in, the applets, dornelcpl) is installed and packaged as soon as it is built.
#
#   scripts/package.sh      configures build-package/, builds and runs cpack -G DEB
#
# Layout: dornelman in /usr/sbin; the tools in /usr/bin; plug-ins, applets and the applets'
# ssh question helper (dornel-askpass) in /usr/lib/dornel (the plug-in and applet search looks there); the unit in
# /lib/systemd/system; the PAM file and the logrotate rule in /etc as conffiles; the
# documentation in /usr/share/doc/dornel; a man page for every program.

if(DORNEL_FUZZ)
  return()
endif()

set(DORNEL_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(dornel_package_gen ${CMAKE_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${dornel_package_gen})

# The unit and the PAM file, written by the service layer's own code for the installed paths.
add_executable(dornel_packgen EXCLUDE_FROM_ALL ${DORNEL_PACKAGING_DIR}/packgen.cpp)
target_link_libraries(dornel_packgen PRIVATE dornel_service)
set_target_properties(dornel_packgen PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dornel_package_gen})
add_custom_command(OUTPUT ${dornel_package_gen}/dornelman.service ${dornel_package_gen}/dornelman.pam
  COMMAND dornel_packgen unit ${dornel_package_gen}/dornelman.service
  COMMAND dornel_packgen pam ${dornel_package_gen}/dornelman.pam
  DEPENDS dornel_packgen
  COMMENT "Writing the packaged unit and PAM file")

# Man pages and the changelog, compressed as Debian wants them (gzip -n: no time stamp).
set(dornel_package_docs)
function(dornel_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  set(dornel_package_docs ${dornel_package_docs} ${output} PARENT_SCOPE)
endfunction()
file(GLOB dornel_man_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.[1-8])
foreach(page IN LISTS dornel_man_pages)
  get_filename_component(page_name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section ${page_name})
  string(REGEX REPLACE "\\.[1-8]$" "" program ${page_name})
  # A page comes with its program: dornelcpl's once that folder is built.
  if(NOT TARGET ${program})
    continue()
  endif()
  dornel_gzip(${page} ${dornel_package_gen}/${page_name}.gz)
  install(FILES ${dornel_package_gen}/${page_name}.gz DESTINATION share/man/man${section})
endforeach()
dornel_gzip(${DORNEL_PACKAGING_DIR}/changelog.Debian ${dornel_package_gen}/changelog.Debian.gz)

# Part of every build, so a plain `cmake --install` finds what the install rules name.
add_custom_target(package_files ALL
  DEPENDS ${dornel_package_gen}/dornelman.service ${dornel_package_gen}/dornelman.pam
          ${dornel_package_docs})

# Programs and plug-ins; targets another folder adds are taken when they exist.
install(TARGETS dornelman DESTINATION sbin)
foreach(tool dornelreg dornelsc dornellog dornelcpl boxsim)
  if(TARGET ${tool})
    install(TARGETS ${tool} DESTINATION bin)
  endif()
endforeach()
foreach(module custauth printlink dornnw zuvexcpl dnlogview)
  if(TARGET ${module})
    install(TARGETS ${module} LIBRARY DESTINATION lib/dornel)
  endif()
endforeach()

# ssh's question dialogs for the applets: a helper the applets find, not a command.
if(TARGET dornel-askpass)
  install(TARGETS dornel-askpass DESTINATION lib/dornel)
endif()

install(FILES ${dornel_package_gen}/dornelman.service DESTINATION /lib/systemd/system)
install(FILES ${dornel_package_gen}/dornelman.pam DESTINATION /etc/pam.d RENAME dornelman)
install(FILES ${DORNEL_PACKAGING_DIR}/dornel.logrotate DESTINATION /etc/logrotate.d RENAME dornel)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${DORNEL_PACKAGING_DIR}/copyright
              ${dornel_package_gen}/changelog.Debian.gz
        DESTINATION share/doc/dornel)
file(GLOB dornel_doc_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${dornel_doc_pages} DESTINATION share/doc/dornel/docs)

# ---- CPack: the Debian package -------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dornel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Dornel developers <dornel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "server and tools for coin-operated payment boxes")
set(CPACK_PACKAGE_DESCRIPTION [=[
Dornel serves a network of coin-operated payment stations (boxes) at
which users top up their print-accounting balance: it authenticates
users, reads and credits balances in the site's accounting system, boots
the boxes over DHCP and TFTP, and keeps an audit log that administrators
search and cash up remotely.

The package holds the dornelman service and its systemd unit, the
registry, service-control, log and box-simulator tools, and the example
plug-ins.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://dornel.example.org/")
# Library dependencies come from dpkg-shlibdeps; the maintainer scripts need Debian's
# systemd helpers, and the logrotate rule logrotate.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${DORNEL_PACKAGING_DIR}/postinst ${DORNEL_PACKAGING_DIR}/prerm ${DORNEL_PACKAGING_DIR}/postrm
  ${DORNEL_PACKAGING_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
