# Checks one generated table text against its known length and SHA-256, then
# moves it into place. A text that fails is deleted, so no later build can
# pick it up as up to date.
#
#   cmake -DNAME=suit -DTEXT=<generated> -DOUTPUT=<final> -DLENGTH=<bytes>
#         -DSHA256=<hex> -P check_table.cmake

foreach(var NAME TEXT OUTPUT LENGTH SHA256)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_table.cmake: ${var} is not set")
  endif()
endforeach()

if(NOT EXISTS "${TEXT}")
  message(FATAL_ERROR "The ${NAME} table text was not generated: ${TEXT} is missing")
endif()

file(SIZE "${TEXT}" actual_length)
file(SHA256 "${TEXT}" actual_sha256)
if(NOT actual_length EQUAL LENGTH OR NOT actual_sha256 STREQUAL SHA256)
  file(REMOVE "${TEXT}" "${OUTPUT}")
  message(FATAL_ERROR
    "The generated ${NAME} table text is wrong; refusing to embed it.\n"
    "  expected: ${LENGTH} bytes, SHA-256 ${SHA256}\n"
    "  actual:   ${actual_length} bytes, SHA-256 ${actual_sha256}\n")
endif()

file(RENAME "${TEXT}" "${OUTPUT}")
