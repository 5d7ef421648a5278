# Turns the page template into a C++ source file: cmake -DIN=... -DOUT=... -P embed.cmake
file(READ ${IN} content)
file(WRITE ${OUT} "// Generated from the page template: do not edit.\n#include \"page.h\"\n\n"
  "const char* const page_template = R\"KELDRUN_PAGE(${content})KELDRUN_PAGE\";\n")
