# The manual pages, made at build time from their sources beside the documents
# (docs/man/*.scd) so that they never drift from what is built, and installed
# with everything else:
#   /usr/share/man/man8/Tavitty.8.gz, make-tls-cert.8.gz
#   /usr/share/man/man5/gunconf.xml.5.gz
# scdoc runs on the build machine (a cross build finds the machine's own: the
# toolchain file looks for programs outside the sysroot).
find_program(SCDOC scdoc)
if(NOT SCDOC)
  message(FATAL_ERROR "scdoc makes the manual pages: apt-get install scdoc")
endif()
set(TAVITTY_MAN_DIR "/usr/share/man" CACHE PATH "Where the manual pages go")

# The pages carry the date of their sources' last commit rather than the day of
# the build, so that two builds of one commit make the same package (gzip -n
# leaves out the name and time too).
set(man_date "$ENV{SOURCE_DATE_EPOCH}")
if(man_date STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct -- docs/man
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE man_date OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

# An empty SOURCE_DATE_EPOCH is an error to scdoc: without a date, none.
set(man_env)
if(NOT man_date STREQUAL "")
  set(man_env "SOURCE_DATE_EPOCH=${man_date}")
endif()

set(man_pages)
foreach(page Tavitty.8 gunconf.xml.5 make-tls-cert.8)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
  set(roff ${CMAKE_BINARY_DIR}/man/${page})
  string(REGEX REPLACE ".*\\." "" section ${page})
  # Paths and options must not be hyphenated where a line breaks: after the
  # title, no hyphenation (.nh) and lines set flush left (.ad l).
  add_custom_command(
    OUTPUT ${roff}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env ${man_env} sh -c
            "\"$0\" <\"$1\" >\"$2.scdoc\" && sed -e '/^\\.TH /a .ad l' -e '/^\\.TH /a .nh' \"$2.scdoc\" >\"$2\""
            ${SCDOC} ${source} ${roff}
    COMMAND gzip -9nf ${roff}
    DEPENDS ${source}
    COMMENT "Manual page ${page}"
    VERBATIM)
  list(APPEND man_pages ${roff}.gz)
  install(FILES ${roff}.gz DESTINATION ${TAVITTY_MAN_DIR}/man${section})
endforeach()
add_custom_target(man ALL DEPENDS ${man_pages})
