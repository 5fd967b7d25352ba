# source_link_test.cmake: embeds the panel with source addresses as a build would name them and
# checks the footer that results: the link with its address escaped for the attribute, nothing
# when the address is empty, and a failed build for an address that is not http(s).
# Run as: cmake -DSRC_DIR=<panel dir> -DWORK=<scratch dir> -P source_link_test.cmake

cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# embed(URL RESULT_VAR TEXT_VAR): runs embed.cmake with URL; the exit code and the texts.
function(embed url rc_var text_var)
    file(WRITE "${WORK}/url.txt" "${url}")
    file(REMOVE "${WORK}/page_texts.cc")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -DSRC_DIR=${SRC_DIR} -DOUT=${WORK}/page_texts.cc
                -DSOURCE_URL_FILE=${WORK}/url.txt -P ${SRC_DIR}/embed.cmake
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    set(text "")
    if(EXISTS "${WORK}/page_texts.cc")
        file(READ "${WORK}/page_texts.cc" text)
    endif()
    set(${rc_var} "${rc}" PARENT_SCOPE)
    set(${text_var} "${text}" PARENT_SCOPE)
endfunction()

set(failures 0)
function(expect_footer url footer)
    embed("${url}" rc text)
    string(FIND "${text}" "<footer><span id=\"footInfo\">credvane</span>${footer}</footer>\n" at)
    if(NOT rc EQUAL 0 OR at EQUAL -1)
        message(SEND_ERROR "address [${url}]: expected the footer to end [${footer}] (exit ${rc})")
    endif()
endfunction()

set(link_head "<span aria-hidden=\"true\">&middot;</span><a href=\"")
set(link_tail "\" target=\"_blank\" rel=\"noopener\">source</a>")
expect_footer("" "")
expect_footer("https://example.org/credvane" "${link_head}https://example.org/credvane${link_tail}")
expect_footer("http://example.org/a?b=1&c=2" "${link_head}http://example.org/a?b=1&amp;c=2${link_tail}")
expect_footer("https://example.org/\"><script>'x'</script>"
    "${link_head}https://example.org/&quot;&gt;&lt;script&gt;&#39;x&#39;&lt;/script&gt;${link_tail}")

foreach(bad "javascript:alert(1)" "ftp://example.org/" "https://exa mple.org/" "https://" "//example.org/"
        "data:text/html,x")
    embed("${bad}" rc text)
    if(rc EQUAL 0)
        message(SEND_ERROR "address [${bad}] was accepted")
    endif()
endforeach()
