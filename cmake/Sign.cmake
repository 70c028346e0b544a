# Signs one executable in place with Authenticode (SHA-256), as the build's last step.
# The password is read from a file by the signer itself: it never stands in a command line.
# -DSIGNER= -DPKCS12= -DPASSWORD_FILE= [-DTIMESTAMP_URL=] -DFILE=
set(args sign -pkcs12 ${PKCS12} -h sha256 -n "Zorvalind PlugIns ARM 64-bit Setup")
if(PASSWORD_FILE)
  list(APPEND args -readpass ${PASSWORD_FILE})
endif()
if(TIMESTAMP_URL)
  list(APPEND args -ts ${TIMESTAMP_URL})
endif()
file(REMOVE ${FILE}.signed)
execute_process(COMMAND ${SIGNER} ${args} -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE ${FILE}.signed ${FILE})
  message(FATAL_ERROR "signing ${FILE} failed:\n${output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
