# snippets.cmake: writes the web server configurations of docs/install.md to files, so the examples
# the package ships are the very snippets tests/hosts/run.sh runs; a copy would drift.
#
#   cmake -DREADME=docs/install.md -DOUT_DIR=dir -P snippets.cmake
#
# The fenced block that follows a line "<!-- host-config: NAME -->" becomes OUT_DIR/NAME.conf.
# The text is cut with string(FIND), not split into a list: nginx lines end in ";".
file(READ "${README}" readme)
foreach(name lighttpd apache nginx)
    set(mark "\n<!-- host-config: ${name} -->\n")
    string(FIND "${readme}" "${mark}" at)
    if(at LESS 0)
        message(FATAL_ERROR "${README} has no line <!-- host-config: ${name} -->")
    endif()
    string(LENGTH "${mark}" mark_len)
    math(EXPR at "${at} + ${mark_len}")
    string(SUBSTRING "${readme}" ${at} -1 rest)
    # The fence opens on the next line that begins with ``` and closes on the next such line.
    string(FIND "${rest}" "```" open)
    string(SUBSTRING "${rest}" ${open} -1 rest)
    string(FIND "${rest}" "\n" eol)
    math(EXPR eol "${eol} + 1")
    string(SUBSTRING "${rest}" ${eol} -1 rest)
    string(FIND "${rest}" "\n```" close)
    if(open LESS 0 OR close LESS 0)
        message(FATAL_ERROR "${README}: the block after <!-- host-config: ${name} --> is not closed")
    endif()
    math(EXPR close "${close} + 1")
    string(SUBSTRING "${rest}" 0 ${close} body)
    file(WRITE "${OUT_DIR}/${name}.conf.new" "${body}")
    # Only a changed snippet touches the file, so an unchanged README rebuilds nothing.
    file(COPY_FILE "${OUT_DIR}/${name}.conf.new" "${OUT_DIR}/${name}.conf" ONLY_IF_DIFFERENT)
    file(REMOVE "${OUT_DIR}/${name}.conf.new")
endforeach()
