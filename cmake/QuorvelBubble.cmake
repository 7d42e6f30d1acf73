# quorvel_add_bubble(NAME SOURCES source...
#                    [MIME "FUNCTION EXT TYPE [text|binary]" ...]
#                    [URI "FUNCTION get|post URL [text|binary]" ...]
#                    [PROTOCOL FUNCTION ...])
#
# Builds a bubble: a plug-in library named NAME.bbl whose registration data (one property per
# MIME, URI and PROTOCOL entry) is appended by quorvel-bubble after every link. Drop the file
# into a server's bubble directory (quorvel_attrib_bubbles, quorvel-serve --bubbles DIR).
# QUORVEL_BUBBLE_TOOL names the quorvel-bubble program: by default the project's own target
# inside this tree, Quorvel::quorvel-bubble outside it (find_package(Quorvel) includes this
# file and imports the installed program and library).
function(quorvel_add_bubble name)
    cmake_parse_arguments(PARSE_ARGV 1 bubble "" "" "SOURCES;MIME;URI;PROTOCOL")
    if(NOT bubble_SOURCES)
        message(FATAL_ERROR "quorvel_add_bubble(${name}): SOURCES are needed")
    endif()
    if(NOT QUORVEL_BUBBLE_TOOL)
        if(TARGET quorvel-bubble)
            set(QUORVEL_BUBBLE_TOOL quorvel-bubble)
        else()
            set(QUORVEL_BUBBLE_TOOL Quorvel::quorvel-bubble)
        endif()
    endif()
    add_library(${name} MODULE ${bubble_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".bbl" C_VISIBILITY_PRESET default
                                             CXX_VISIBILITY_PRESET default)
    target_link_libraries(${name} PRIVATE Quorvel::quorvel)
    set(tool $<TARGET_FILE:${QUORVEL_BUBBLE_TOOL}>)
    foreach(kind MIME URI)
        string(TOLOWER ${kind} command)
        foreach(entry IN LISTS bubble_${kind})
            separate_arguments(fields UNIX_COMMAND "${entry}")
            add_custom_command(TARGET ${name} POST_BUILD
                               COMMAND ${tool} add-${command} $<TARGET_FILE:${name}> ${fields}
                               VERBATIM)
        endforeach()
    endforeach()
    foreach(function IN LISTS bubble_PROTOCOL)
        add_custom_command(TARGET ${name} POST_BUILD
                           COMMAND ${tool} add-protocol $<TARGET_FILE:${name}> ${function}
                           VERBATIM)
    endforeach()
    get_target_property(imported ${QUORVEL_BUBBLE_TOOL} IMPORTED)
    if(NOT imported)
        add_dependencies(${name} ${QUORVEL_BUBBLE_TOOL})
    endif()
endfunction()
