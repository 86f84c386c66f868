if(TESSVANE_FUZZ)
  # libFuzzer needs clang; libstdc++ 12's <expected> is usable only by g++, so
  # fuzz builds use libc++. The fuzzer runtime itself is built against
  # libstdc++, which is linked beside it (their symbols do not overlap).
  add_compile_options(-stdlib=libc++ -fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=all -g -O1)
  add_link_options(-stdlib=libc++ -fsanitize=address,undefined)
elseif(TESSVANE_SANITIZE)
  add_compile_options(-fsanitize=${TESSVANE_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TESSVANE_SANITIZE})
endif()
