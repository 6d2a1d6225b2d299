# cmake -DIN=<interface xml> -DOUT=<copy> -P GeneratorInput.cmake
# The interface without its help strings: sdbus-c++-xml2cpp 1.2 does not know
# the Description annotation and warns once for every member that carries
# one. The installed interface file keeps them.
file(READ "${IN}" text)
string(REGEX REPLACE "[ \t]*<annotation name=\"org\\.freedesktop\\.DBus\\.Description\" value=\"[^\"]*\"/>\n" ""
       text "${text}")
file(WRITE "${OUT}" "${text}")
