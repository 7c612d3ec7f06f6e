# Writes a C++ header holding the text of INPUT as the string constant NAME
# (a raw string literal), for `cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P`.
file(READ ${INPUT} text)
string(FIND "${text}" ")embedded_text\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's closing delimiter")
endif()
file(WRITE ${OUTPUT} "// Generated from ${INPUT}: do not edit.\n#pragma once\n\n"
     "inline constexpr char ${NAME}[] = R\"embedded_text(${text})embedded_text\";\n")
