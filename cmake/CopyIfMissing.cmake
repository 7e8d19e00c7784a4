# cmake -DSOURCE=... -DTARGET=... -P CopyIfMissing.cmake: copies a file unless the target exists,
# so a rebuild never overwrites what the user has changed beside the executable.
if(NOT EXISTS "${TARGET}")
    get_filename_component(folder "${TARGET}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    file(COPY_FILE "${SOURCE}" "${TARGET}")
endif()
