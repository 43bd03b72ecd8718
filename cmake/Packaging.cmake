# Desktop integration files, the manual pages and the Debian package (scripts/package).

set(BRIMVAULT_INSTALLED_DATA_DIR ${CMAKE_INSTALL_FULL_DATADIR}/brimvault-agent)
configure_file(${PROJECT_SOURCE_DIR}/data/agent.conf ${CMAKE_BINARY_DIR}/etc/agent.conf @ONLY)

install(FILES ${PROJECT_SOURCE_DIR}/data/brimvault-agent.desktop
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)
install(FILES ${CMAKE_BINARY_DIR}/etc/agent.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/brimvault)
foreach(size 16 22 24 32 48 64)
    install(FILES ${PROJECT_SOURCE_DIR}/data/icons/brimvault/${size}x${size}/apps/brimvault-agent.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Manual pages made from --help, compressed as Debian wants them.
find_program(HELP2MAN help2man)
find_program(GZIP gzip REQUIRED)
if(HELP2MAN)
    set(man_pages)
    set(name_brimvault-agent-user "Brimvault user-session agent")
    set(name_brimvault-service-sim "stand-in for the Brimvault agent service, for trying the agent")
    set(name_brimvault-agent-check "check whether the Brimvault agent could run in this session")
    set(component_brimvault-agent-user agent)
    set(component_brimvault-agent-check agent)
    set(component_brimvault-service-sim sim)
    foreach(prog brimvault-agent-user brimvault-agent-check brimvault-service-sim)
        set(page ${CMAKE_BINARY_DIR}/man/${prog}.1.gz)
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen BRIMVAULT_AGENT_CONFIG=/nonexistent
                    XDG_STATE_HOME=${CMAKE_BINARY_DIR}/man/state
                    ${HELP2MAN} --no-info --section=1 "--name=${name_${prog}}" --include=${PROJECT_SOURCE_DIR}/data/${prog}.h2m --output=${CMAKE_BINARY_DIR}/man/${prog}.1 $<TARGET_FILE:${prog}>
            COMMAND ${GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${prog}.1
            DEPENDS ${prog} ${PROJECT_SOURCE_DIR}/data/${prog}.h2m
            COMMENT "Manual page for ${prog}")
        list(APPEND man_pages ${page})
        install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component_${prog}})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${man_pages})
else()
    message(WARNING "help2man not found: no manual pages")
endif()

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/data/changelog > ${CMAKE_BINARY_DIR}/doc/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/data/changelog)
add_custom_target(package_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brimvault-agent COMPONENT agent)
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brimvault-service-sim COMPONENT sim)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL agent sim)
set(CPACK_PACKAGE_NAME brimvault-agent)
set(CPACK_PACKAGE_VENDOR Brimvault)
set(CPACK_PACKAGE_CONTACT "Brimvault agent team <agent@brimvault.example>")
set(CPACK_DEBIAN_AGENT_PACKAGE_NAME brimvault-agent)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME brimvault-service-sim)
set(CPACK_DEBIAN_AGENT_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_SIM_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENT_AGENT_DESCRIPTION
    "Brimvault user-session agent\nRuns in each user's graphical session on a Brimvault virtual machine as a tray\napplication: announces the session to the local agent service, carries out its\ncommands and enforces the session's idle and length limits. Includes\nbrimvault-agent-check, which tells whether the agent could run in a session.")
set(CPACK_COMPONENT_SIM_DESCRIPTION
    "stand-in for the Brimvault agent service\nListens where the agent service would and drives Brimvault agents by hand\nor from tests: session limits, scripts, messages and logoff commands. For\ntrying the agent; not for production virtual machines.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# A Debian package never installs into /usr/local, and the agent reads /etc/brimvault: the paths
# are fixed when the build is configured, so a build for another prefix is not packaged.
file(WRITE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake
     "if(NOT \"${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")\n"
     "    message(FATAL_ERROR \"This build installs into ${CMAKE_INSTALL_PREFIX}: Debian packages \"\n"
     "        \"install under /usr and /etc. Configure it with -DCMAKE_INSTALL_PREFIX=/usr to package it.\")\n"
     "endif()\n")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
# The release it was built for is part of the version: 1.0.0+deb12 and 1.0.0+deb13 are never
# mistaken for each other, and the newer release's sorts higher.
set(BRIMVAULT_PACKAGE_VERSION ${PROJECT_VERSION})
if(BRIMVAULT_DEBIAN_RELEASE GREATER 0)
    string(APPEND BRIMVAULT_PACKAGE_VERSION "+deb${BRIMVAULT_DEBIAN_RELEASE}")
endif()
set(CPACK_DEBIAN_PACKAGE_VERSION ${BRIMVAULT_PACKAGE_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's Wayland platform: Qt runs natively in Wayland sessions, where the tray is reached over
# D-Bus; Qt's own translations. Of the Qt the agent was built against.
if(BRIMVAULT_QT_MAJOR EQUAL 6)
    set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS "systemd, qt6-wayland, qt6-translations-l10n")
else()
    set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS "systemd, qtwayland5, qttranslations5-l10n")
endif()
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/brimvault/agent.conf\n${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart/brimvault-agent.desktop\n")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
