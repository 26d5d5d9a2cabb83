# The Debian package built by scripts/package (cpack -G DEB): every installed
# file, dependencies found from the programs' shared libraries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvane-controller)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Talvane)
set(CPACK_PACKAGE_CONTACT "Talvane Dev <dev@talvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Talvane Dev <dev@talvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel for the 8x8 HDMI matrix switch")
# The long description below the summary (CPack indents it as Debian wants).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Talvane Controller connects to the 8-input, 8-output HDMI matrix switch over
a serial port or TCP, shows which inputs have a source and which outputs a
display, routes inputs to outputs, and powers, resets, reboots and upgrades
the switch. talvane-ctl does the same from a terminal or a script, and can
serve the switch to Videohub clients and on an MQTT broker, with Home
Assistant's discovery; talvane-sim, a switch in software, comes with them.

Serial adapters belong to the dialout group: to use one, add your user to it
with 'sudo usermod -aG dialout $USER', then log in again (see
/usr/share/doc/talvane-controller/README.Debian).")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, not linked: the X11 and Wayland platform plugins.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The dialog font the panel's layout is measured in.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
# A broker for talvane-ctl serve --mqtt, where none runs elsewhere.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
