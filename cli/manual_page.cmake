# Makes the manual page from its template: the EXIT STATUS rows come from the exit-code table
# (ROWS, written by manual_exit_status), and the page is compressed as distributions ship theirs.
# -DTEMPLATE=... -DROWS=... -DOUTPUT=... (OUTPUT.gz is made as well)
file(READ ${TEMPLATE} page)
file(READ ${ROWS} rows)
string(REPLACE "@EXIT_STATUS@" "${rows}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
execute_process(COMMAND gzip -9nkf ${OUTPUT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
