# Writes kvr's man page from what the program itself prints, so that the
# page never says other than --help: help2man makes it from kvr --help and
# kvr --version, and the section COMMANDS holds each kvr COMMAND --help.
# help2man takes kvr --help's "Usage:" line into SYNOPSIS, so DESCRIPTION
# starts with what kvr does. OUTPUT.gz is the page as it is installed,
# compressed as Debian ships man pages (gzip -9n: no name, no time).
#
#   cmake -DKVR=path/to/kvr -DHELP2MAN=path/to/help2man -DOUTPUT=kvr.1 -P kvr_man.cmake
foreach(variable KVR HELP2MAN OUTPUT)
  if(NOT ${variable})
    message(FATAL_ERROR "kvr_man.cmake needs -D${variable}=...")
  endif()
endforeach()

execute_process(COMMAND ${KVR} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${KVR} --help failed (${status})")
endif()

# The commands are the lines "  NAME ..." under "commands:".
string(REGEX MATCH "\ncommands:\n(  [^\n]*\n)+" listing "${help}")
string(REGEX MATCHALL "\n  [a-z]+" names "${listing}")
if(NOT names)
  message(FATAL_ERROR "no commands in ${KVR} --help")
endif()

set(synopsis "")
set(commands "")
foreach(name ${names})
  string(STRIP "${name}" name)
  execute_process(COMMAND ${KVR} ${name} --help OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${KVR} ${name} --help failed (${status})")
  endif()
  # Text for roff: a backslash is \e, and a line may not start with . or '.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(APPEND commands ".SS \"kvr ${name}\"\n.nf\n${text}.fi\n")
  # Its usage lines, each "Usage: kvr ..." or its continuation, for SYNOPSIS.
  string(REGEX MATCH "^Usage: [^\n]*\n(       [^\n]*\n)*" usage "${text}")
  string(REGEX REPLACE "(^|\n)(Usage:)? +" "\\1" usage "${usage}")
  string(REGEX REPLACE "\n$" "" usage "${usage}")
  string(REPLACE "\n" "\n.br\n" usage "${usage}")
  string(APPEND synopsis "${usage}\n.br\n")
endforeach()
set(include_text "[SYNOPSIS]\n${synopsis}\n[COMMANDS]\n${commands}")

get_filename_component(output_dir ${OUTPUT} DIRECTORY)
set(include_file ${output_dir}/kvr_man_commands.h2m)
file(WRITE ${include_file} "${include_text}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1
          "--name=inspect, check, dump, load and repair the files of KVR"
          --include=${include_file} --output=${OUTPUT} ${KVR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed (${status})")
endif()
execute_process(COMMAND gzip -9n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of ${OUTPUT} failed (${status})")
endif()
