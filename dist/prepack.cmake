# Run by CPack on the staged files, before it packs them: removes the
# .comment section (compiler versions) from the programs, and sets every
# file's and folder's time to SOURCE_DATE_EPOCH when it is set, so that two
# builds of one source give the same packages.
find_program(VEK_OBJCOPY objcopy REQUIRED)
find_program(VEK_TOUCH touch REQUIRED)
file(GLOB_RECURSE programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER programs INCLUDE REGEX "/bin/[^/]+$")
foreach(program IN LISTS programs)
  execute_process(COMMAND ${VEK_OBJCOPY} --remove-section=.comment ${program} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  foreach(path IN LISTS staged)
    execute_process(COMMAND ${VEK_TOUCH} -h -d @$ENV{SOURCE_DATE_EPOCH} ${path} COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
