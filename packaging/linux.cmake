# The Linux desktop client and the Debian packages of this build: textsnap
# (the client with its menu entry, icon and autostart entry) and
# pinleaf-server (the service with its systemd unit). `cmake --build
# --preset linux --target package` writes both into the build folder.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The icon, drawn at build time as for Windows; its 256-pixel picture lies
# beside the program, where the program finds it when it is not installed.
set(ts_icon_png ${CMAKE_CURRENT_BINARY_DIR}/textsnap.png)
add_custom_command(OUTPUT ${ts_icon_png}
                   COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/gen_icon.py
                           ${CMAKE_CURRENT_BINARY_DIR}/textsnap-linux.ico ${ts_icon_png}
                   DEPENDS ${CMAKE_SOURCE_DIR}/scripts/gen_icon.py
                   COMMENT "Drawing the application icon")
add_custom_target(textsnap_icon DEPENDS ${ts_icon_png})

add_executable(textsnap main_linux.cpp)
target_link_libraries(textsnap PRIVATE ts_app ts_warnings)
add_dependencies(textsnap textsnap_icon)

include(GNUInstallDirs)
set(ts_pkg ${CMAKE_SOURCE_DIR}/packaging/linux)
install(TARGETS textsnap RUNTIME DESTINATION bin COMPONENT textsnap)
install(FILES ${ts_pkg}/textsnap.desktop DESTINATION share/applications COMPONENT textsnap)
install(FILES ${ts_pkg}/textsnap-autostart.desktop DESTINATION /etc/xdg/autostart RENAME textsnap.desktop
        COMPONENT textsnap)
install(FILES ${ts_icon_png} DESTINATION share/icons/hicolor/256x256/apps COMPONENT textsnap)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/textsnap COMPONENT textsnap)
if(EXISTS ${CMAKE_SOURCE_DIR}/service/CMakeLists.txt)  # built by every non-Windows preset
  install(PROGRAMS $<TARGET_FILE:pinleaf-server> DESTINATION bin COMPONENT pinleaf-server)
  install(FILES ${CMAKE_SOURCE_DIR}/deploy/pinleaf-server.service ${CMAKE_SOURCE_DIR}/deploy/pinleaf-server@.service
          DESTINATION lib/systemd/system COMPONENT pinleaf-server)
  # Several instances behind nginx: the site and the instances' settings, to copy and edit.
  install(FILES ${CMAKE_SOURCE_DIR}/deploy/nginx/pinleaf.conf ${CMAKE_SOURCE_DIR}/deploy/instances.env.example
          DESTINATION share/doc/pinleaf-server/examples COMPONENT pinleaf-server)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME textsnap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "text snap developers <textsnap@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL textsnap pinleaf-server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TEXTSNAP_PACKAGE_NAME textsnap)
set(CPACK_DEBIAN_TEXTSNAP_DESCRIPTION
    "tray client for the pinleaf online note service\n Select text anywhere, press a hotkey, and text snap uploads it as one note.\n Also `textsnap send FILE` for scripts.")
# The cues need a sound server only when there is one; notifications a notification service.
set(CPACK_DEBIAN_TEXTSNAP_PACKAGE_RECOMMENDS "notification-daemon | xfce4-notifyd | gnome-shell | plasma-workspace")
set(CPACK_DEBIAN_PINLEAF-SERVER_PACKAGE_NAME pinleaf-server)
set(CPACK_DEBIAN_PINLEAF-SERVER_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PINLEAF-SERVER_DESCRIPTION
    "self-hostable note service for text snap\n Serves the probe, login, sign-up and note upload of the pinleaf online protocol, with SQLite storage.")
set(CPACK_DEBIAN_PINLEAF-SERVER_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/deploy/debian/postinst
                                                       ${CMAKE_SOURCE_DIR}/deploy/debian/prerm)
include(CPack)
