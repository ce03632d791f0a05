# The site is one folder of static files that any host can serve: exactly the page, its script and
# style, the icon, the engine's loader and its WebAssembly, no more than LIMIT bytes in all.
#   cmake -DSITE=<folder> -DLIMIT=<bytes> -P SiteSize.cmake
set(expected engine.js engine.wasm icon.svg index.html page.js style.css)
file(GLOB_RECURSE files RELATIVE "${SITE}" "${SITE}/*")
list(SORT files)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "The site holds ${files}; expected ${expected}")
endif()
set(total 0)
foreach(file ${files})
  file(SIZE "${SITE}/${file}" size)
  math(EXPR total "${total} + ${size}")
  message(STATUS "${file}: ${size} bytes")
endforeach()
message(STATUS "the whole site: ${total} bytes (limit ${LIMIT})")
if(total GREATER LIMIT)
  message(FATAL_ERROR "The site is ${total} bytes, more than ${LIMIT}")
endif()
