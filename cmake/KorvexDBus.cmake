# The D-Bus glue generated from data/ch.belmor.Korvex.xml, the one source of
# the automation interface: the server's adaptor and the clients' proxy are
# written into the build tree at build time, never by hand.
find_package(sdbus-c++ 1.2 REQUIRED)
find_package(sdbus-c++-tools 1.2 REQUIRED)

set(KORVEX_DBUS_XML ${CMAKE_SOURCE_DIR}/data/ch.belmor.Korvex.xml)
set(KORVEX_DBUS_GEN_DIR ${CMAKE_BINARY_DIR}/generated/dbus)
set(KORVEX_DBUS_ADAPTOR ${KORVEX_DBUS_GEN_DIR}/korvex/korvex_adaptor.h)
set(KORVEX_DBUS_PROXY ${KORVEX_DBUS_GEN_DIR}/korvex/korvex_proxy.h)

set(KORVEX_DBUS_GEN_INPUT ${KORVEX_DBUS_GEN_DIR}/ch.belmor.Korvex.xml)
add_custom_command(
  OUTPUT ${KORVEX_DBUS_ADAPTOR} ${KORVEX_DBUS_PROXY}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVEX_DBUS_GEN_DIR}/korvex
  COMMAND ${CMAKE_COMMAND} -DIN=${KORVEX_DBUS_XML} -DOUT=${KORVEX_DBUS_GEN_INPUT}
          -P ${CMAKE_SOURCE_DIR}/cmake/GeneratorInput.cmake
  COMMAND SDBusCpp::sdbus-c++-xml2cpp ${KORVEX_DBUS_GEN_INPUT}
          --adaptor=${KORVEX_DBUS_ADAPTOR} --proxy=${KORVEX_DBUS_PROXY}
  DEPENDS ${KORVEX_DBUS_XML} ${CMAKE_SOURCE_DIR}/cmake/GeneratorInput.cmake
  COMMENT "Generating the D-Bus adaptor and proxy from ch.belmor.Korvex.xml"
  VERBATIM)
add_custom_target(korvex_dbus_glue ALL DEPENDS ${KORVEX_DBUS_ADAPTOR} ${KORVEX_DBUS_PROXY})

# Clients (korvexctl, the bus tests): #include <korvex/korvex_proxy.h>.
add_library(korvex_dbus_proxy INTERFACE)
add_dependencies(korvex_dbus_proxy korvex_dbus_glue)
target_include_directories(korvex_dbus_proxy INTERFACE ${KORVEX_DBUS_GEN_DIR})
target_link_libraries(korvex_dbus_proxy INTERFACE SDBusCpp::sdbus-c++)

# The server: #include <korvex/korvex_adaptor.h>.
add_library(korvex_dbus_adaptor INTERFACE)
add_dependencies(korvex_dbus_adaptor korvex_dbus_glue)
target_include_directories(korvex_dbus_adaptor INTERFACE ${KORVEX_DBUS_GEN_DIR})
target_link_libraries(korvex_dbus_adaptor INTERFACE SDBusCpp::sdbus-c++)
