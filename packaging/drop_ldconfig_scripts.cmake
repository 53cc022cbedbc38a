# Run by CPack after it wrote the package (CPACK_PACKAGE_FILES): takes out the
# postinst and postrm that only call ldconfig, which CPack writes of its own
# accord, and packs the rest again as it was, owned by root.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(READ ${tree}/DEBIAN/${script} text)
      string(REGEX REPLACE "#![^\n]*|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|ldconfig|fi|[ \t\n]" "" rest "${text}")
      if(rest STREQUAL "")
        file(REMOVE ${tree}/DEBIAN/${script})
        set(changed TRUE)
      endif()
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
