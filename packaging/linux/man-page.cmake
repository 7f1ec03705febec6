# cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DPAGE=... -DSUMMARY=... [-DSUBCOMMAND=...]
#       -DVERSION=... -DSEE_ALSO="a;b" -DOUT=<page>.1 -P man-page.cmake
# One manual page from "PROGRAM [SUBCOMMAND] --help", written by help2man and compressed as Debian
# asks (gzip -9n). A command's page is titled with its own name, and without a SUMMARY takes the
# command's line in the program's --help.
if(SUBCOMMAND AND NOT SUMMARY)
  execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT help MATCHES "\n  ${SUBCOMMAND} +([^\n]+)")
    message(FATAL_ERROR "${PROGRAM} --help does not describe the command ${SUBCOMMAND}")
  endif()
  set(SUMMARY ${CMAKE_MATCH_1})
endif()
set(text "[NAME]\n${PAGE} \\- ${SUMMARY}\n")
if(SEE_ALSO)
  list(TRANSFORM SEE_ALSO REPLACE "^(.+)$" ".BR \\1 (1)")
  list(JOIN SEE_ALSO "\n" see)
  string(APPEND text "[SEE ALSO]\n${see}\n")
endif()
set(include ${OUT}.include)
file(WRITE ${include} "${text}")
set(help_option --help)
if(SUBCOMMAND)
  set(help_option "${SUBCOMMAND} --help")
endif()
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 "--help-option=${help_option}"
          "--version-string=${VERSION}" "--include=${include}" "--output=${OUT}" ${PROGRAM}
  RESULT_VARIABLE status)
file(REMOVE ${include})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${PROGRAM} ${help_option}")
endif()
file(READ ${OUT} page)
string(TOUPPER ${PAGE} title)
string(REGEX REPLACE "\n\\.TH [^ ]+ " "\n.TH ${title} " page "${page}")
file(WRITE ${OUT} "${page}")
execute_process(COMMAND ${GZIP} -9nf ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUT}")
endif()
