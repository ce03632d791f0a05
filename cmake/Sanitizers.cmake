# One sanitizer setting for the whole build, so libraries and tests agree.
if(TARNET_SANITIZE)
  add_compile_options(-fsanitize=${TARNET_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TARNET_SANITIZE})
  if(TARNET_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
