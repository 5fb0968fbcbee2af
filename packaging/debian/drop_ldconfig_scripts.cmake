# Run by CPack once it has written the Debian packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package with a library in /usr/lib a postinst and a postrm that call
# ldconfig, and no setting turns them off; the package's ldconfig trigger does that
# work, and these packages have no maintainer scripts of their own. So every postinst
# and postrm goes, and dpkg-deb packs the package again, its files unchanged.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(tree ${deb} NAME_WLE)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/${tree}-repacked)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB scripts ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  if(scripts)
    file(REMOVE ${scripts})
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
