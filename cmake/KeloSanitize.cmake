# KELO_SANITIZE="address;undefined" or "thread": applied to every target.
if(KELO_SANITIZE)
  string(REPLACE ";" "," _kelo_san "${KELO_SANITIZE}")
  add_compile_options(-fsanitize=${_kelo_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_kelo_san})
  add_compile_definitions(KELO_SANITIZED=1)
endif()

# Fuzz builds instrument every library for coverage, so libFuzzer sees the code under test
# and not only the target's own file.
if(KELO_BUILD_FUZZERS)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
