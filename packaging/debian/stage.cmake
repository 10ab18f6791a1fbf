# Run by `cpack` (CPACK_PRE_BUILD_SCRIPTS) on the staged tree, after the
# project's install and before the package is made. For the Debian package:
#  - the changelog, compressed as /usr/share/doc/zanth-timelock/changelog.Debian.gz;
#    its newest entry must be for the version being packaged;
#  - the lintian override of packaging/debian/lintian-overrides (why each
#    one is there: README, "Installing");
#  - the program without the .comment and .note sections (as dh_strip leaves
#    it; cpack has stripped its symbols);
#  - the zsh completion moved from share/zsh/site-functions (on zsh's path
#    under /usr/local) to share/zsh/vendor-completions, where Debian's zsh
#    looks for the completions of packages;
#  - the modes Debian wants, whatever the umask of the build.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(changelog "${CMAKE_CURRENT_LIST_DIR}/changelog")

file(STRINGS "${changelog}" head LIMIT_COUNT 1)
set(version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
if(NOT head MATCHES "^${CPACK_PACKAGE_NAME} \\(${version}\\) ")
  message(FATAL_ERROR "${changelog}: the newest entry is not for ${version} (it reads \"${head}\"); "
                      "add an entry for it")
endif()

set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
execute_process(COMMAND gzip -9n -c "${changelog}" OUTPUT_FILE "${doc}/changelog.Debian.gz"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of ${changelog} failed: ${status}")
endif()

set(site "${root}/share/zsh/site-functions")
set(vendor "${root}/share/zsh/vendor-completions")
file(MAKE_DIRECTORY "${vendor}")
file(RENAME "${site}/_zanth-timelock" "${vendor}/_zanth-timelock")
file(GLOB left "${site}/*")
if(NOT left)
  file(REMOVE_RECURSE "${site}")
endif()

set(overrides "${root}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY_FILE "${CMAKE_CURRENT_LIST_DIR}/lintian-overrides" "${overrides}/${CPACK_PACKAGE_NAME}")

execute_process(COMMAND objcopy --remove-section=.comment --remove-section=.note
                        "${root}/bin/${CPACK_PACKAGE_NAME}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objcopy of ${root}/bin/${CPACK_PACKAGE_NAME} failed: ${status}")
endif()

# Modes as Debian wants them whatever the umask: the files this script made
# 0644 (the others have theirs from the install), every directory 0755
# (cmake makes the parents of a destination with the umask's mode).
file(CHMOD "${doc}/changelog.Debian.gz" "${overrides}/${CPACK_PACKAGE_NAME}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
    file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                      WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
