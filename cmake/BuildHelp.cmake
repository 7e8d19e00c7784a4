# cmake -DSOURCE_DIR=... -DPICTURE_DIR=... -DSTAGE_DIR=... -DOUTPUT_DIR=... [-DCHMCMD=...]
#       -P BuildHelp.cmake
# Gathers the manual's pages and the pictures that its project file lists into STAGE_DIR,
# compiles help.chm there when chmcmd is given, and copies the result and the pages to OUTPUT_DIR.
# A picture not yet taken is left out with a warning, so a fresh tree still builds its manual.
foreach(variable SOURCE_DIR PICTURE_DIR STAGE_DIR OUTPUT_DIR)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "BuildHelp.cmake needs -D${variable}=...")
    endif()
endforeach()

file(REMOVE_RECURSE "${STAGE_DIR}")
file(MAKE_DIRECTORY "${STAGE_DIR}")
file(GLOB sources "${SOURCE_DIR}/*")
file(COPY ${sources} DESTINATION "${STAGE_DIR}")

# The project file's [FILES] section names every page, the stylesheet and every picture.
file(STRINGS "${SOURCE_DIR}/help.hhp" project_lines)
set(in_files FALSE)
set(kept_lines "")
set(pages "")
foreach(line IN LISTS project_lines)
    if(line MATCHES "^\\[")
        set(in_files FALSE)
        if(line STREQUAL "[FILES]")
            set(in_files TRUE)
        endif()
    elseif(in_files AND line MATCHES "\\.png$")
        if(NOT EXISTS "${PICTURE_DIR}/${line}")
            message(WARNING "The manual's picture ${line} is missing from docs/ "
                            "(bash scripts/screenshots.sh takes it); left out")
            continue()
        endif()
        file(COPY "${PICTURE_DIR}/${line}" DESTINATION "${STAGE_DIR}")
        list(APPEND pages "${line}")
    elseif(in_files AND NOT line STREQUAL "")
        list(APPEND pages "${line}")
    endif()
    string(APPEND kept_lines "${line}\n")
endforeach()
file(WRITE "${STAGE_DIR}/help.hhp" "${kept_lines}")

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
if(CHMCMD)
    execute_process(COMMAND "${CHMCMD}" --no-html-scan help.hhp
                    WORKING_DIRECTORY "${STAGE_DIR}"
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0 OR NOT EXISTS "${STAGE_DIR}/help.chm")
        message(FATAL_ERROR "chmcmd could not compile the manual:\n${output}")
    endif()
    file(COPY "${STAGE_DIR}/help.chm" DESTINATION "${OUTPUT_DIR}")
else()
    message(STATUS "chmcmd not found: help/help.chm not built, only the manual's HTML pages")
endif()

foreach(page IN LISTS pages)
    file(COPY "${STAGE_DIR}/${page}" DESTINATION "${OUTPUT_DIR}")
endforeach()
