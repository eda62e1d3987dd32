# Test builds only: overwrites one byte of a generated table text with a
# letter, so that parsing it fails at a known place.
#
#   cmake -DTEXT=<generated> -DOUTPUT=<final> -DOFFSET=<byte> -P damage_table.cmake

file(READ "${TEXT}" head LIMIT ${OFFSET})
math(EXPR tail_offset "${OFFSET} + 1")
file(READ "${TEXT}" tail OFFSET ${tail_offset})
file(WRITE "${OUTPUT}" "${head}x${tail}")
file(REMOVE "${TEXT}")
