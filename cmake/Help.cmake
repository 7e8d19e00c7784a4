# The user manual beside the program: help/help.chm, compiled with chmcmd, and the same pages as
# plain HTML (help/index.html) for desktops without a viewer for compiled help. The pictures come
# from docs/, where scripts/screenshots.sh takes them, so they are not kept twice.
# Included from app/CMakeLists.txt, after the program's target.
find_program(CHMCMD_EXECUTABLE chmcmd)
if(NOT CHMCMD_EXECUTABLE)
    message(STATUS "chmcmd not found (Debian package fp-utils): help/help.chm will not be built, "
                   "only the manual's HTML pages")
endif()

file(GLOB quarrow_help_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/install/help/src/*)
# A new picture in docs/ is picked up without a manual re-configure.
file(GLOB quarrow_help_pictures CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
set(quarrow_help_stamp ${CMAKE_CURRENT_BINARY_DIR}/help-stage.stamp)
add_custom_command(OUTPUT ${quarrow_help_stamp}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/install/help/src
            -DPICTURE_DIR=${PROJECT_SOURCE_DIR}/docs -DSTAGE_DIR=${CMAKE_CURRENT_BINARY_DIR}/help-stage
            -DOUTPUT_DIR=$<TARGET_FILE_DIR:quarrow>/help -DCHMCMD=${CHMCMD_EXECUTABLE}
            -P ${PROJECT_SOURCE_DIR}/cmake/BuildHelp.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${quarrow_help_stamp}
    DEPENDS ${quarrow_help_sources} ${quarrow_help_pictures} ${PROJECT_SOURCE_DIR}/cmake/BuildHelp.cmake
    COMMENT "Building the user manual (help/help.chm and help/index.html)"
    VERBATIM)
add_custom_target(quarrow_help ALL DEPENDS ${quarrow_help_stamp})
# Building the program builds its manual, so the run command finds Help > User manual working.
add_dependencies(quarrow quarrow_help)
