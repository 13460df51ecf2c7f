# Run by CPack once it has installed the components into its staging folder,
# before it makes the packages from there. The install rules put every file
# under the prefix, which is /usr for the packages; Debian (bookworm) wants
# the unit in /lib/systemd/system and the allow list, a conffile, in /etc.
set(staged ${CPACK_TEMPORARY_DIRECTORY}/keyreg)
file(MAKE_DIRECTORY ${staged}/lib)
file(RENAME ${staged}${CPACK_PACKAGING_INSTALL_PREFIX}/lib/systemd ${staged}/lib/systemd)
file(RENAME ${staged}${CPACK_PACKAGING_INSTALL_PREFIX}/etc ${staged}/etc)
