# Outside libraries, as Debian installs them (scripts/install-deps).
pkg_check_modules(ZLIB_PC REQUIRED IMPORTED_TARGET zlib)
pkg_check_modules(CURL_PC REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(XML2_PC REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(FUSE_PC IMPORTED_TARGET fuse)
pkg_check_modules(RHASH_PC REQUIRED IMPORTED_TARGET librhash)

# xmlrpc-c ships a config script rather than pkg-config files.
find_program(XMLRPC_C_CONFIG xmlrpc-c-config REQUIRED)
function(mivra_xmlrpc_target name parts)
  execute_process(COMMAND ${XMLRPC_C_CONFIG} ${parts} --libs
                  OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(libs UNIX_COMMAND "${libs}")
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  target_link_libraries(${name} INTERFACE ${libs})
endfunction()
mivra_xmlrpc_target(xmlrpc::client "client")
mivra_xmlrpc_target(xmlrpc::server "abyss-server")
