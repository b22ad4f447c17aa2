# The page side, installed side by side: the sample page, the client module
# that pages copy, its TypeScript declarations, and the same client as an npm
# package (the tarball that `npm pack` makes of web/client, where npm is found)
# for pages built with npm and a bundler.
set(TAVITTY_WEB_DIR "/usr/share/tavitty/web" CACHE PATH "Where the sample page and the page client go")
set(client_dir ${PROJECT_SOURCE_DIR}/web/client)
install(FILES ${client_dir}/index.html ${client_dir}/tavitty-client.mjs
              ${client_dir}/tavitty-client.d.ts
        DESTINATION ${TAVITTY_WEB_DIR})

find_program(NPM npm)
if(NPM)
  # The tarball's name carries the package's own version.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${client_dir}/package.json)
  file(READ ${client_dir}/package.json package_json)
  if(NOT package_json MATCHES "\"version\": *\"([^\"]+)\"")
    message(FATAL_ERROR "web/client/package.json names no version")
  endif()
  set(client_tarball ${CMAKE_BINARY_DIR}/tavitty-client-${CMAKE_MATCH_1}.tgz)
  # Nothing here needs the network: the package has no dependencies and no scripts.
  add_custom_command(OUTPUT ${client_tarball}
    COMMAND ${NPM} pack --pack-destination ${CMAKE_BINARY_DIR} --offline --ignore-scripts
            --no-update-notifier --loglevel=error
    WORKING_DIRECTORY ${client_dir}
    DEPENDS ${client_dir}/package.json ${client_dir}/README.md ${client_dir}/tavitty-client.mjs
            ${client_dir}/tavitty-client.d.ts
    COMMENT "Packing the page client for npm"
    VERBATIM)
  add_custom_target(client_tarball ALL DEPENDS ${client_tarball})
  install(FILES ${client_tarball} DESTINATION ${TAVITTY_WEB_DIR})
else()
  message(STATUS "npm not found: the package goes without the page client's npm tarball")
endif()
