# Install step: the installed program is stripped and its debug information kept in a file of
# its own under lib/debug/.build-id/, found by its build id (or its debug link) by debuggers.
# Set by the install code before this script: POSTIQUE_BINDIR, POSTIQUE_OBJCOPY, POSTIQUE_READELF.
set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${POSTIQUE_BINDIR}/VL3_Postique")
execute_process(COMMAND "${POSTIQUE_READELF}" -n "${exe}" OUTPUT_VARIABLE notes
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${exe} has no build id")
endif()
set(debug_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/${CMAKE_MATCH_1}")
set(debug "${debug_dir}/${CMAKE_MATCH_2}.debug")
file(MAKE_DIRECTORY "${debug_dir}")
message(STATUS "Installing: ${debug}")
execute_process(COMMAND "${POSTIQUE_OBJCOPY}" --only-keep-debug --compress-debug-sections
                        "${exe}" "${debug}" COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD "${debug}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(COMMAND "${POSTIQUE_OBJCOPY}" --strip-debug --strip-unneeded
                        "--add-gnu-debuglink=${debug}" "${exe}" COMMAND_ERROR_IS_FATAL ANY)
